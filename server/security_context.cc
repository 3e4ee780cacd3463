#include "server/security_context.h"

#include "server/zel_server.h"

namespace zel {

int ServerSecurityContext::ModelIndex() { return server_->model_index(); }

HRESULT ServerSecurityContext::FindSessionUser(const GUID& /*cookie*/, BStr* /*user_name*/) {
  return E_FAIL;
}

HRESULT ServerSecurityContext::FindCodeIdByName(const BStr& user_name, uint32_t* id) {
  if (id == nullptr) return E_POINTER;
  ComPtr<IDispatch> codes;
  ZEL_TRY(server_->GetCollection(kSlotCodes, codes.Receive()));
  // Item by name (the key omitted), through dispatch: the server does not know the model's
  // interfaces. A miss answers S_FALSE with the empty element, which is no code.
  Variant args[] = {Variant::Str(user_name), Variant::Missing()};
  Variant item;
  HRESULT hr = codes->Invoke(DISPID_VALUE, DISPATCH_METHOD, args, &item);
  if (hr != S_OK) return Failed(hr) ? hr : E_FAIL;
  if (item.vt() != VT_DISPATCH || item.dispatch() == nullptr) return E_FAIL;
  Variant code_id;
  ZEL_TRY(GetProperty(item.dispatch(), "ID", &code_id));
  Variant number;
  ZEL_TRY(ChangeType(code_id, VT_UI4, &number));
  *id = number.ui4();
  return S_OK;
}

HRESULT ServerSecurityContext::SystemParametersInfo(uint32_t index, Variant* value) {
  return server_->SystemParameter(index, value);
}

uint32_t ServerSecurityContext::CodeCount() {
  const CapabilityRecord* record = server_->capabilities();
  return record == nullptr ? 0 : record->Byte(kCapUserCodeCount);
}

}  // namespace zel
