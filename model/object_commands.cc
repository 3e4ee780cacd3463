#include "model/object_commands.h"

#include "link/request.h"
#include "link/security_code.h"
#include "server/zel_server.h"

namespace zel {

HRESULT ResolveUserNumber(const Variant& security_code, uint8_t* user_number) {
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_FAIL;
  return ResolveSecurityCode(server->security_context(), security_code, user_number);
}

HRESULT SendObjectCommand(uint8_t command, uint8_t parameter1, uint16_t parameter2) {
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_FAIL;
  ComPtr<IZelCommHandler> link = server->transport();
  return SendControllerCommand(link.get(), command, parameter1, parameter2);
}

HRESULT GetServerCollection(int slot, ComPtr<IZelCollection>* collection) {
  ComPtr<CZelServer> server = ServerInstance();
  if (server == nullptr) return E_FAIL;
  ComPtr<IDispatch> dispatch;
  ZEL_TRY(server->GetCollection(slot, dispatch.Receive()));
  return QueryAs<IZelCollection>(dispatch.get(), collection);
}

HRESULT RefreshElement(int slot, IDispatch* element, uint32_t index) {
  ComPtr<IZelCollection> collection;
  ZEL_TRY(GetServerCollection(slot, &collection));
  uint32_t position = index;
  Variant at;
  bool stands_there = Succeeded(collection->Item(Variant::I4(static_cast<int32_t>(index)),
                                                 Variant::Missing(), &at)) &&
                      at.vt() == VT_DISPATCH && at.dispatch() == element;
  if (!stands_there) {
    int32_t count = 0;
    ZEL_TRY(collection->get_Count(&count));
    for (int32_t i = 1; i <= count; ++i) {
      Variant item;
      if (collection->Item(Variant::I4(i), Variant::Missing(), &item) == S_OK &&
          item.vt() == VT_DISPATCH && item.dispatch() == element) {
        position = static_cast<uint32_t>(i);
        break;
      }
    }
  }
  return collection->Update(true, position);
}

HRESULT RefreshCollection(int slot) {
  ComPtr<IZelCollection> collection;
  ZEL_TRY(GetServerCollection(slot, &collection));
  return collection->Update(true, kAllElements);
}

int ConnectedModelIndex() {
  ComPtr<CZelServer> server = ServerInstance();
  return !server ? kUnknownModelIndex : server->model_index();
}

}  // namespace zel
