// Writes the seed corpus of a fuzz target from real samples: the frames the simulator answers
// with (playing sim/scenarios/house.json), the streams and files the server's own code writes.
// The corpora in fuzz/corpus/ were made with it; run it again after a format changes:
//
//   fuzz_seed_corpus TARGET DIRECTORY
//
// Files are named by what they hold, so a rerun replaces them rather than adding copies.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "events/event_record.h"
#include "events/events_store.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/sim_conversation.h"
#include "link/comm_handlers.h"
#include "link/frame.h"
#include "link/network_session.h"
#include "link/network_transport.h"
#include "link/serial_transport.h"
#include "platform/guid.h"
#include "platform/persist.h"
#include "platform/settings_registry.h"
#include "server/name_records.h"
#include "server/setup_block.h"
#include "server/setup_stream.h"
#include "server/zel_server.h"
#include "sim/scenario.h"
#include "testing/fake_link.h"
#include "zel_source_dir.h"

namespace zel::fuzz {
namespace {

std::string g_dir;
int g_written = 0;

void Write(const std::string& name, const Bytes& bytes) {
  std::ofstream out(g_dir + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "cannot write %s/%s\n", g_dir.c_str(), name.c_str());
    std::exit(1);
  }
  ++g_written;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

sim::Scenario HouseScenario() {
  sim::Scenario scenario;
  std::string error;
  std::string path = std::string(ZEL_SOURCE_DIR) + "/sim/scenarios/house.json";
  if (Failed(sim::LoadScenarioFile(path, &scenario, &error))) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    std::exit(1);
  }
  return scenario;
}

// Every reply of a conversation with the simulator, with the request type of the exchange (or of
// the walk an acknowledge continued).
struct Exchanged {
  uint8_t request_type;
  Bytes reply;
};
std::vector<Exchanged> HouseConversation() {
  sim::SimState state;
  state.scenario = HouseScenario();
  std::vector<Exchanged> out;
  uint8_t walk = 0;
  RunConversation(state, [&](const Bytes& request, const Bytes& reply) {
    if (request[2] != 0x05) walk = request[2];
    out.push_back({walk, reply});
  });
  return out;
}

void LinkSeeds() {
  std::vector<Exchanged> replies = HouseConversation();
  Bytes all, noisy;
  std::set<Bytes> distinct;
  for (const Exchanged& e : replies) {
    if (!distinct.insert(e.reply).second) continue;
    if (all.size() < 1500) all = Cat({all, e.reply});
    if (noisy.size() < 1500) noisy = Cat({noisy, e.reply, {0x00, 0x5A, 0x00, 0xFF}});
  }
  Write("receiver-replies", Cat({{0, 0}, all}));
  Write("receiver-noise-between", Cat({{0, 7}, noisy}));
  Bytes bad = replies.at(1).reply;
  bad.back() ^= 0x01;
  Write("receiver-bad-crc", Cat({{0, 1}, bad, replies.at(2).reply}));
  Write("receiver-cut", Cat({{0, 3}, Bytes(all.begin(), all.begin() + 40)}));

  SessionCipher cipher;
  if (Failed(cipher.SetKey(kFuzzSessionKey))) std::exit(1);
  int n = 0;
  for (const Bytes& frame : distinct) {
    if (n >= 6) break;
    uint16_t sequence = static_cast<uint16_t>(0x0100 + n);
    uint32_t padded = PaddedSize(static_cast<uint32_t>(frame.size()));
    Bytes datagram(kPacketHeaderSize + padded, 0);
    WritePacketHeader(datagram.data(), sequence, kPacketFrame);
    std::copy(frame.begin(), frame.end(), datagram.begin() + kPacketHeaderSize);
    if (Failed(cipher.Seal(datagram.data() + kPacketHeaderSize, padded, sequence))) std::exit(1);
    Bytes seq = {static_cast<uint8_t>(sequence & 0xFF), static_cast<uint8_t>(sequence >> 8)};
    Write("datagram-" + std::to_string(n), Cat({{1}, seq, datagram}));
    Write("sealed-" + std::to_string(n), Cat({{2}, seq, frame}));
    ++n;
  }
  Write("datagram-wrong-sequence", Cat({{1, 0x09, 0x00}, {0x08, 0x00, 0x10, 0x00}, Bytes(16, 0)}));
  Write("datagram-partial-block", Cat({{1, 0x01, 0x00}, {0x01, 0x00, 0x10, 0x00}, Bytes(15, 0)}));
  auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  Write("key-full", Cat({{3}, text("3C-91-0E-A7-52-D8-1B-66-F4-29-8D-C3-07-BE-45-7A")}));
  Write("key-partial", Cat({{3}, text("--01-ab--FF")}));
  Write("key-bad-group", Cat({{3}, text("01-2-03")}));
}

void ReplySeeds() {
  // The parsers (reply_fuzz.cc's selectors) that read replies to each request type.
  const std::map<uint8_t, std::vector<uint8_t>> kSelectors = {
      {0x11, {0}},  {0x13, {1, 8}}, {0x15, {2, 8}},   {0x17, {3, 4, 5, 6, 7, 12}},
      {0x1E, {9}},  {0x19, {10}},   {0x24, {15, 11}}, {0x31, {13}},
      {0x33, {14}}, {0x04, {16}},   {0x0C, {17}},     {0x0D, {18}},
      {0x22, {19}}, {0x20, {0xFF}},
  };
  std::map<uint8_t, int> per_selector;
  std::set<Bytes> seen;
  for (const Exchanged& e : HouseConversation()) {
    auto it = kSelectors.find(e.request_type);
    if (it == kSelectors.end() || !seen.insert(e.reply).second) continue;
    for (uint8_t selector : it->second) {
      int& count = per_selector[selector];
      if (count >= 4) continue;
      std::string name = "sel" + std::to_string(selector) + "-" + std::to_string(count++);
      // Serial form: type and data; network form: the whole frame.
      Write(name + "-serial", Cat({{selector, 0}, Bytes(e.reply.begin() + 2, e.reply.end() - 2)}));
      Write(name + "-network", Cat({{selector, 1}, e.reply}));
    }
  }
}

Bytes Le16(size_t n) { return {static_cast<uint8_t>(n & 0xFF), static_cast<uint8_t>(n >> 8)}; }

template <class T>
Bytes TransportSettings(T* transport) {
  ComPtr<IPersistStreamInit> persist;
  if (Failed(QueryAs<IPersistStreamInit>(static_cast<IDispatch*>(transport), &persist))) {
    std::exit(1);
  }
  ComPtr<MemoryStream> saved = MakeObject<MemoryStream>();
  if (Failed(persist->Save(saved.get(), false))) std::exit(1);
  return saved->data();
}

void StoreSeeds() {
  RegisterServerClasses();
  RegisterFakeLink();

  // "Setup" as SaveSetup writes it, with the fake transport set; then the same fixed part with
  // each real transport's class id and settings.
  Bytes setup;
  {
    ComPtr<MemoryStorage> store = MakeObject<MemoryStorage>();
    ComPtr<CZelServer> server = MakeObject<CZelServer>();
    server->AttachLocalStore(store.get());
    ComPtr<FakeLink> link = MakeObject<FakeLink>();
    (void)server->put_CommunicationsHandler(link.get());
    (void)server->put_AccessCode(BStr("1234"));
    (void)server->put_DownloadSetup(false);
    if (Failed(server->SaveSetup())) std::exit(1);
    setup = store->Get(kSetupStreamName);
    (void)server->Stop();
  }
  Write("setup-fake-transport", Cat({{0}, setup}));
  Bytes fixed(setup.begin(), setup.begin() + kSetupFixedSize);
  Write("setup-no-transport", Cat({{0}, fixed}));
  Write("setup-cut", Cat({{0}, Bytes(setup.begin(), setup.begin() + 20)}));

  ComPtr<CZelCommHandlerSerial> serial = MakeObject<CZelCommHandlerSerial>();
  Bytes serial_default = TransportSettings(serial.get());
  (void)serial->put_Port(Variant::UI1(3));
  Bytes serial_port3 = TransportSettings(serial.get());
  ComPtr<CZelCommHandlerNetwork> network = MakeObject<CZelCommHandlerNetwork>();
  Bytes network_default = TransportSettings(network.get());
  (void)network->put_Address(BStr("10.0.0.7"));
  (void)network->put_PrivateKey(BStr("01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10"));
  Bytes network_changed = TransportSettings(network.get());
  auto id = [](const CLSID& clsid) {
    auto bytes = GuidToBytes(clsid);
    return Bytes(bytes.begin(), bytes.end());
  };
  Write("setup-serial", Cat({{0}, fixed, id(kClsidZelCommHandlerSerial), serial_port3}));
  Write("setup-network", Cat({{0}, fixed, id(kClsidZelCommHandlerNetwork), network_changed}));
  Write("serial-default", Cat({{1}, serial_default}));
  Write("serial-port-3", Cat({{1}, serial_port3}));
  Write("network-default", Cat({{2}, network_default}));
  Write("network-changed", Cat({{2}, network_changed}));

  // What the house scenario's controller sends, kept as the server keeps it.
  Bytes system_setup, names2, friendly2;
  std::vector<EntryValues> entries;
  std::optional<LastSeenRecord> newest;
  {
    ComPtr<MemoryStream> names = MakeObject<MemoryStream>();
    ComPtr<MemoryStream> friendly = MakeObject<MemoryStream>();
    for (const Exchanged& e : HouseConversation()) {
      const uint8_t* frame = e.reply.data();
      if (IsEndOfWalkFrame(frame)) continue;
      if (e.request_type == 0x04) {
        std::span<const uint8_t> payload;
        if (Succeeded(SetupBlockPayload(frame, &payload))) {
          system_setup.insert(system_setup.end(), payload.begin(), payload.end());
        }
      } else if (e.request_type == 0x0C) {
        NameRecord record;
        if (Succeeded(ParseNameFrame(frame, &record))) {
          (void)WriteNameRecord(names.get(), record);
          if (record.number % 2 == 1) {
            (void)WriteFriendlyNameRecord(friendly.get(),
                                          {record.type, record.number, 1, record.text + " (f)"});
          }
        }
      } else if (e.request_type == 0x0D) {
        if (std::optional<LastSeenRecord> record = RecordFromFrame(frame)) {
          if (!newest) newest = *record;
          entries.push_back(EntryValuesOf(*record, 1796000000, BStr("Unknown")));
        }
      }
    }
    names2 = names->data();
    friendly2 = friendly->data();
  }
  Bytes events, events_state;
  {
    ComPtr<MemoryStorage> store = MakeObject<MemoryStorage>();
    EventsStore log;
    std::vector<EntryValues> none;
    if (Failed(log.Load(store.get(), &none))) std::exit(1);
    LastSeenRecord seen = newest.value_or(LastSeenRecord{});
    if (Failed(log.CommitWalk(entries, &seen))) std::exit(1);
    events = store->Get(kEventsStreamName);
    events_state = store->Get(kEventsStateStreamName);
  }
  Write("events", Cat({{3}, Le16(events.size()), events, events_state}));
  Write("events-empty", Cat({{3}, Le16(4), Bytes(4, 0)}));
  Write("events-cut", Cat({{3},
                           Le16(events.size() / 2),
                           Bytes(events.begin(), events.begin() + events.size() / 2)}));

  // A start: the model code of the house scenario, then streams by number (store_fuzz.cc).
  auto stream = [](uint8_t number, const Bytes& bytes) {
    return Cat({{number}, Le16(bytes.size()), bytes});
  };
  const uint8_t model = static_cast<uint8_t>(HouseScenario().model);
  Write("start-setup-names", Cat({{4, model}, stream(0, system_setup), stream(1, names2)}));
  Write("start-all", Cat({{4, model},
                          stream(0, system_setup),
                          stream(1, names2),
                          stream(3, friendly2),
                          stream(5, events),
                          stream(6, events_state)}));
  Write("start-old-names", Cat({{4, model}, stream(0, system_setup), stream(2, names2)}));
}

Bytes FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(1);
  }
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void SettingsSeeds() {
  // A registry as the transports' registration and the utilities' settings write it.
  char dir[] = "/tmp/zel-seeds-XXXXXX";
  if (mkdtemp(dir) == nullptr) std::exit(1);
  const std::string file = std::string(dir) + "/registry.json";
  RegKey root = RegKey::Root(file);
  if (Failed(RegisterTransportEntries(root))) std::exit(1);
  RegKey settings;
  if (Failed(root.Create("SOFTWARE\\Tamsen\\Portico\\Settings", &settings))) std::exit(1);
  (void)settings.SetString("LogFolder", "%HOME%/logs", REG_EXPAND_SZ);
  (void)settings.SetString("Name", "Zel");
  (void)settings.SetDword("Interval", 5000);
  (void)settings.SetBinary("Blob", {0, 1, 2, 0xFF});
  (void)root.SetString("", "default value");
  Write("registry", Cat({{0}, FileBytes(file)}));
  std::filesystem::remove_all(dir);
  auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  Write("registry-empty-tree", Cat({{0}, text("{\"format\": \"zelcommsrv-registry 1\"}")}));

  Write("catalogue",
        Cat({{1}, FileBytes(std::string(ZEL_SOURCE_DIR) + "/resources/ZelCommSrvRes.DLL.txt")}));
  Write("catalogue-small", Cat({{1},
                                text("[strings]\n103 = Unknown\n185 = /dev/ttyS\n[messages]\n"
                                     "0xC0000004 = The controller refused the login.\n")}));
}

}  // namespace
}  // namespace zel::fuzz

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s TARGET DIRECTORY\n", argv[0]);
    return 2;
  }
  zel::fuzz::g_dir = argv[2];
  std::string target = argv[1];
  if (target == "link") {
    zel::fuzz::LinkSeeds();
  } else if (target == "reply") {
    zel::fuzz::ReplySeeds();
  } else if (target == "settings") {
    zel::fuzz::SettingsSeeds();
  } else if (target == "store") {
    zel::fuzz::StoreSeeds();
  } else {
    std::fprintf(stderr, "no seeds are generated for %s\n", target.c_str());
    return 2;
  }
  std::printf("%d seeds written to %s\n", zel::fuzz::g_written, argv[2]);
  return 0;
}
