// Loading the stored names at start: "Names.2" (version 2), or else the older "Names"
// (version 1), applied record by record through the object model's name hooks, then the
// controller's built-in objects.
#include "server/name_hooks.h"
#include "server/zel_server.h"

namespace zel {

HRESULT CZelServer::LoadStoredNames() {
  std::optional<NameHooks> hooks = FindNameHooks();
  if (!hooks || !hooks->apply_name || !hooks->add_built_in_objects) return E_NOTIMPL;
  ComPtr<IStorage> store = local_store();
  if (!store) return E_FAIL;
  ComPtr<IStream> stream;
  int version = kNamesVersion2;
  HRESULT hr = store->OpenStream(kNamesStream2, stream.Receive());
  if (Failed(hr)) {
    version = kNamesVersion1;
    ZEL_TRY(store->OpenStream(kNamesStream1, stream.Receive()));
  }
  while (true) {
    NameRecord record;
    hr = ReadNameRecord(stream.get(), &record);
    // A stream cut inside a record ends the loading with the records before it.
    if (hr == S_FALSE) break;
    ZEL_TRY(hr);
    ZEL_TRY(hooks->apply_name(&record, version));
  }
  stream.reset();
  return hooks->add_built_in_objects();
}

}  // namespace zel
