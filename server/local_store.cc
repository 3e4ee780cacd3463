// Opening the local store ZELINFO.DAT in the instance directory, once, kept open for the life of
// the server.
#include "platform/instance_paths.h"
#include "platform/sync.h"
#include "platform/system_log.h"
#include "server/zel_server.h"

namespace zel {

inline constexpr std::string_view kLocalStoreName = "ZELINFO.DAT";

HRESULT CZelServer::OpenLocalStore() {
  if (local_store()) return S_OK;
  std::string path = InstancePath(kLocalStoreName);
  // The store's path must fit the 260-character path buffer the configuration tools share.
  if (path.size() > kMaxStorePath) return E_FAIL;
  ComPtr<IStorage> store;
  HRESULT hr = OpenCompoundFile(path, StorageOpenMode::kOpenExisting, store.Receive());
  if (hr == STG_E_INVALIDHEADER || hr == STG_E_DOCFILECORRUPT) {
    // An unreadable store (a disk fault, a foreign file) would fail every start: keep its bytes
    // aside for inspection, say so in the system log, and start again with an empty store.
    std::string moved_to;
    ZEL_TRY(SetAsideCorruptStore(path, &moved_to));
    ReportEvent(MSG_STORE_SET_ASIDE, hr, moved_to);
    hr = STG_E_FILENOTFOUND;
  }
  if (hr == STG_E_FILENOTFOUND) {
    // No store yet (first start, or a new instance directory): make an empty one.
    (void)EnsureInstanceDir();
    hr = OpenCompoundFile(path, StorageOpenMode::kCreate, store.Receive());
  }
  ZEL_TRY(hr);
  MutexLock g(&mu_);
  if (!store_) store_ = std::move(store);
  return S_OK;
}

}  // namespace zel
