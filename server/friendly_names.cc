// Friendly names and display flags in the local store: loading "FriendlyNames.2" (version 2) or
// else "FriendlyNames" (version 1) through the object model's name hooks, and SaveFriendlyNames,
// which writes "FriendlyNames.2" from the collections that exist.
#include "server/name_hooks.h"
#include "server/zel_server.h"

namespace zel {

HRESULT CZelServer::LoadStoredFriendlyNames() {
  std::optional<NameHooks> hooks = FindNameHooks();
  if (!hooks || !hooks->apply_friendly_name) return E_NOTIMPL;
  ComPtr<IStorage> store = local_store();
  if (!store) return E_FAIL;
  ComPtr<IStream> stream;
  int version = kNamesVersion2;
  if (Failed(store->OpenStream(kFriendlyNamesStream2, stream.Receive()))) {
    version = kNamesVersion1;
    // No friendly names stored: nothing to apply.
    if (Failed(store->OpenStream(kFriendlyNamesStream1, stream.Receive()))) return S_FALSE;
  }
  while (true) {
    FriendlyNameRecord record;
    HRESULT hr = ReadFriendlyNameRecord(stream.get(), &record);
    if (hr == S_FALSE) break;
    ZEL_TRY(hr);
    ZEL_TRY(hooks->apply_friendly_name(record, version));
  }
  return S_OK;
}

HRESULT CZelServer::SaveFriendlyNames() {
  std::optional<NameHooks> hooks = FindNameHooks();
  if (!hooks || !hooks->collect_friendly_names) return E_NOTIMPL;
  ComPtr<IStorage> store = local_store();
  if (!store) return E_FAIL;
  ComPtr<IStream> stream;
  ZEL_TRY(store->CreateStream(kFriendlyNamesStream2, stream.Receive()));
  std::vector<FriendlyNameRecord> records;
  (void)hooks->collect_friendly_names(&records);
  // Failures of single writes are not reported: the result is that of creating the stream.
  for (const FriendlyNameRecord& record : records) {
    (void)WriteFriendlyNameRecord(stream.get(), record);
  }
  (void)stream->Commit();
  return S_OK;
}

}  // namespace zel
