// Fuzz target for the streams of the local store, read as the server reads them at start. Byte 0
// selects:
//   0  "Setup" (LoadSetup), saved again and loaded by a second server: the second save must
//      give the bytes of the first. The transport class ids that name the network transport get
//      a stand-in (a stored address must never send datagrams from a fuzzer); the serial
//      transport finds no device under the catalogue's prefix.
//   1  the serial transport's settings stream; 2 the network transport's: loaded, saved, loaded
//      into a fresh transport and saved again, the two saves equal.
//   3  "Events" (a 2-byte length, then its bytes) and "EventsState" (the rest): loaded, a walk
//      committed on top, loaded again: the stored entries and the walk's, in order.
//   4  a server's start on a store holding several streams ("SystemSetup", "Names.2", "Names",
//      "FriendlyNames.2", "FriendlyNames", "Events", "EventsState", "Setup"), each a stream
//      number byte, a 2-byte length and its bytes, against a controller in memory whose model
//      is the byte after the selector. A started server lists its collections, saves its
//      friendly names and stops.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "events/events_format.h"
#include "events/events_store.h"
#include "fuzz/fuzz_support.h"
#include "link/network_transport.h"
#include "link/serial_transport.h"
#include "model/model_registration.h"
#include "platform/class_registry.h"
#include "platform/clock.h"
#include "platform/persist.h"
#include "platform/resource_library.h"
#include "server/collection_slots.h"
#include "server/setup_stream.h"
#include "server/zel_server.h"
#include "testing/fake_link.h"
#include "zel_source_dir.h"

namespace zel::fuzz {
namespace {

void SetUpOnce() {
  static bool done = [] {
    // The shipped catalogue, with the serial device prefix moved where no device is.
    std::ifstream in(std::string(ZEL_SOURCE_DIR) + "/resources/ZelCommSrvRes.DLL.txt");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    size_t prefix = text.find("\n185 = ");
    if (prefix == std::string::npos) std::abort();
    text.replace(prefix, text.find('\n', prefix + 1) - prefix, "\n185 = /nonexistent/ttyZEL");
    std::shared_ptr<const ResourceLibrary> lib;
    if (Failed(ResourceLibrary::Parse(text, &lib))) std::abort();
    InstallResources(lib);
    QuietSystemLog();
    RegisterServerClasses();
    RegisterModelClasses();
    RegisterFakeLink();
    ClassRegistry::Instance().Register(kClsidZelCommHandlerNetwork, "Zel.FuzzNetworkStandIn",
                                       FactoryOf<FakeLink>());
    // Pauses and polling intervals pass a thousand times faster.
    static ScaledClock clock(1000);
    Clock::SetForTesting(&clock);
    return true;
  }();
  (void)done;
}

Bytes SavedSetup(const Bytes& stored) {
  ComPtr<MemoryStorage> store = MakeObject<MemoryStorage>();
  if (!stored.empty()) store->Put(kSetupStreamName, stored);
  ComPtr<CZelServer> server = MakeObject<CZelServer>();
  server->AttachLocalStore(store.get());
  (void)server->LoadSetup();
  if (Failed(server->SaveSetup())) std::abort();
  (void)server->Stop();
  return store->Get(kSetupStreamName);
}

void FuzzSetup(FuzzInput& in) {
  Bytes first = SavedSetup(in.Rest());
  if (SavedSetup(first) != first) std::abort();
}

template <class T>
Bytes SavedSettings(const Bytes& stored, HRESULT* load) {
  ComPtr<T> transport = MakeObject<T>();
  ComPtr<IPersistStreamInit> persist;
  if (Failed(QueryAs<IPersistStreamInit>(static_cast<IDispatch*>(transport.get()), &persist))) {
    std::abort();
  }
  (void)persist->InitNew();
  ComPtr<MemoryStream> source = MakeObject<MemoryStream>(stored);
  *load = persist->Load(source.get());
  ReadProperties(static_cast<IDispatch*>(transport.get()));
  uint64_t size_max = 0;
  (void)persist->GetSizeMax(&size_max);
  ComPtr<MemoryStream> saved = MakeObject<MemoryStream>();
  if (Failed(persist->Save(saved.get(), true))) std::abort();
  if (saved->data().size() > size_max) std::abort();
  return saved->data();
}

template <class T>
void FuzzSettings(FuzzInput& in) {
  HRESULT load = S_OK;
  Bytes first = SavedSettings<T>(in.Rest(), &load);
  if (SavedSettings<T>(first, &load) != first || Failed(load)) std::abort();
}

Bytes Encoded(const std::vector<EntryValues>& entries) {
  Bytes out;
  for (const EntryValues& e : entries) (void)EncodeStoredEntry(e, &out);
  return out;
}

void FuzzEvents(FuzzInput& in) {
  Bytes events = in.Take(in.Word());
  Bytes state = in.Rest();
  ComPtr<MemoryStorage> store = MakeObject<MemoryStorage>();
  store->Put(kEventsStreamName, events);
  if (!state.empty()) store->Put(kEventsStateStreamName, state);
  (void)DecodeStoredLog(events);

  std::vector<EntryValues> loaded;
  LastSeenRecord seen{};
  {
    EventsStore first;
    if (Failed(first.Load(store.get(), &loaded))) return;
    if (Failed(first.LoadLastSeen(&seen))) std::abort();
    // A walk: the newest stored entries again, and a new last-seen record.
    std::vector<EntryValues> walk(loaded.end() - std::min<size_t>(loaded.size(), 2), loaded.end());
    seen[0] ^= 1;
    if (Failed(first.CommitWalk(walk, &seen))) std::abort();
    loaded.insert(loaded.end(), walk.begin(), walk.end());
  }
  EventsStore again;
  std::vector<EntryValues> reloaded;
  LastSeenRecord seen_again{};
  if (Failed(again.Load(store.get(), &reloaded)) || Failed(again.LoadLastSeen(&seen_again))) {
    std::abort();
  }
  if (Encoded(reloaded) != Encoded(loaded) || seen_again != seen) std::abort();
}

constexpr std::string_view kStartStreams[] = {"SystemSetup",     "Names.2",       "Names",
                                              "FriendlyNames.2", "FriendlyNames", "Events",
                                              "EventsState",     "Setup"};

void FuzzStart(FuzzInput& in) {
  uint8_t model_code = static_cast<uint8_t>(in.Byte() % 38);
  ComPtr<MemoryStorage> store = MakeObject<MemoryStorage>();
  while (in.left() > 0) {
    std::string_view name = kStartStreams[in.Byte() % std::size(kStartStreams)];
    store->Put(name, in.Take(in.Word()));
  }
  ComPtr<FakeLink> link = MakeObject<FakeLink>();
  FakeControllerConfig config;
  config.model_code = model_code;
  config.setup.assign(2048, 0);
  link->UseController(config);
  ComPtr<CZelServer> server = MakeObject<CZelServer>();
  server->AttachLocalStore(store.get());
  (void)server->put_CommunicationsHandler(link.get());
  (void)server->put_AccessCode(BStr("7395"));
  (void)server->put_DownloadSetup(false);
  (void)server->put_DownloadNames(false);
  (void)server->put_SetControllerTime(false);
  if (Succeeded(server->Start())) {
    for (int slot = 0; slot < kSlotExtensions; ++slot) {
      ComPtr<IDispatch> collection;
      if (server->GetCollection(slot, collection.Receive()) == S_OK) {
        ReadProperties(collection.get());
      }
    }
    (void)server->SaveFriendlyNames();
  }
  (void)server->Stop();
}

}  // namespace
}  // namespace zel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zel::fuzz::SetUpOnce();
  zel::fuzz::FuzzInput in(data, size);
  switch (in.Byte() % 5) {
    case 0:
      zel::fuzz::FuzzSetup(in);
      break;
    case 1:
      zel::fuzz::FuzzSettings<zel::CZelCommHandlerSerial>(in);
      break;
    case 2:
      zel::fuzz::FuzzSettings<zel::CZelCommHandlerNetwork>(in);
      break;
    case 3:
      zel::fuzz::FuzzEvents(in);
      break;
    default:
      zel::fuzz::FuzzStart(in);
      break;
  }
  return 0;
}
