// CZelServerExtensions: the server's Extensions collection, the extensions listed under
// "SOFTWARE\Tamsen\Portico\Server Extensions" (server_extension.h), each attached to the
// server when the collection is made and detached, in list order, when it goes.
//
// Loading, subkey by subkey from index 0 (names of 40 characters or more end the enumeration
// like its end):
//   - a name that is no class id, no "Library" value, a library that does not load, lacks the
//     factory, fails or throws in it, or makes an object without IZelServerExtension: the
//     extension is skipped with a system-log line (0x80020069) and the loading goes on (S_FALSE);
//   - Attach fails (or throws): the extension is released and the loading stops with E_FAIL;
//   - Attach succeeds: the extension joins the list.
// A missing extensions key makes the collection's creation fail with that registry error.
// Libraries stay loaded for the life of the process (their code may still run in a release).
//
// Thread contract: Load on the thread that makes the collection; the members, the status
// changes and the destructor from any thread. mu_ guards extensions_; the extensions' own
// methods are called outside it.
#pragma once

#include <vector>

#include "platform/dispatch.h"
#include "platform/settings_registry.h"
#include "platform/sync.h"
#include "utils/server_extension.h"

namespace zel {

inline constexpr std::string_view kServerExtensionsKey =
    "SOFTWARE\\Tamsen\\Portico\\Server Extensions";
inline constexpr std::string_view kExtensionLibraryValue = "Library";
// Warning: an extension could not be loaded and was skipped.
inline constexpr uint32_t MSG_EXTENSION_SKIPPED = 0x80020069;
// The longest subkey name the loading reads, terminator included.
inline constexpr size_t kExtensionNameBuffer = 40;

class CZelServerExtensions final : public DispatchImpl<CZelServerExtensions, IDispatch> {
 public:
  ZEL_IMPLEMENT_REFCOUNT()
  HRESULT QueryInterface(const IID& iid, void** ppv) override {
    return QueryInterfaceFor<IDispatch>(this, iid, ppv);
  }
  static const MemberTable& Members();

  ~CZelServerExtensions() override;

  // Loads and attaches the extensions listed under `root`'s extensions key; `server` may be
  // null. S_OK or S_FALSE: the collection is usable; negative: it is not to be kept.
  HRESULT Load(const RegKey& root, IZelServer* server);
  // Passes a new server status to every extension, in list order.
  void StatusChanged(int32_t status);

  HRESULT get_Count(int32_t* count);
  HRESULT get__NewEnum(IUnknown** enumerator);  // E_NOTIMPL, as every collection here
  // Item(1-based position): the extension; out of range: E_INVALIDARG.
  HRESULT Item(Variant index, Variant key, Variant* item);

 private:
  std::vector<ComPtr<IZelServerExtension>> Snapshot();

  Mutex mu_;
  std::vector<ComPtr<IZelServerExtension>> extensions_ ZEL_GUARDED_BY(mu_);
};

}  // namespace zel
