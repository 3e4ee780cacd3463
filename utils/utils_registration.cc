#include "utils/utils_registration.h"

#include "platform/class_registry.h"
#include "server/collection_slots.h"
#include "server/zel_server.h"
#include "utils/server_extensions.h"
#include "utils/server_utils.h"

namespace zel {

void RegisterUtilsClasses() {
  ClassRegistry::Instance().Register(
      kClsidZelServerUtils, std::string(kProgIdZelServerUtils), [](IUnknown** object) {
        *object = static_cast<IDispatch*>(MakeObject<CZelServerUtils>().Detach());
        return S_OK;
      });
  CollectionSlotHooks hooks;
  hooks.create = [](IDispatch** collection) -> HRESULT {
    if (collection == nullptr) return E_POINTER;
    ComPtr<CZelServerExtensions> extensions = MakeObject<CZelServerExtensions>();
    ComPtr<CZelServer> server = ServerInstance();
    HRESULT hr = extensions->Load(RegKey::LocalMachine(), server.get());
    if (Failed(hr)) return hr;
    *collection = extensions.Detach();
    return hr;
  };
  hooks.status_changed = [](IDispatch* collection, ServerStatus status) {
    // Only ours: a collection made before these hooks were registered is the empty default.
    if (collection->GetMemberTable() != &CZelServerExtensions::Members()) return;
    static_cast<CZelServerExtensions*>(collection)->StatusChanged(status);
  };
  RegisterCollectionSlot(kSlotExtensions, std::move(hooks));
}

}  // namespace zel
