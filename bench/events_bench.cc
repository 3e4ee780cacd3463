// The stored event log at scale:
//   BM_LoadStoredLog      creating the log from a stored history of N entries (entry objects
//                         made and appended), with the resident memory it adds
//   BM_DecodeStoredLog    the bare decoding of the same bytes, without entry objects
//   BM_WalkCommit         one walk's commit (3 entries and the last-seen record) into a store
//                         already holding N entries, with the bytes written per entry
//   BM_BareFileReplace    the bare cost of replacing a file of the same size atomically
//   BM_ZelctlEventsSince  `zelctl events --since` for the last 10 of N stored entries, through the
//                         bridge to a server holding the log
//   BM_ZelctlGetCount     the bare baseline beside it: `zelctl get Events.Count`
// Times are wall-clock; the commits mostly wait for the disk.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/automation_bridge.h"
#include "cli/zelctl.h"
#include "events/event_log.h"
#include "link/link_classes.h"
#include "model/model_registration.h"
#include "platform/class_registry.h"
#include "platform/instance_paths.h"
#include "platform/storage.h"
#include "server/zel_server.h"
#include "testing/temp_dir.h"

namespace zel {
namespace {

std::vector<uint8_t> HistoryBytes(uint32_t n) {
  std::vector<uint8_t> bytes = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                                static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)};
  for (uint32_t i = 0; i < n; ++i) {
    EntryValues e{Variant::I4(0x30 + static_cast<int32_t>(i % 7)),
                  Variant::FromDate(Date{46000.0 + i / 1440.0}), Variant::UI4(i)};
    (void)EncodeStoredEntry(e, &bytes);
  }
  return bytes;
}

struct TempStore {
  bool Create(uint32_t entries) {
    if (Failed(OpenCompoundFile(path(), StorageOpenMode::kCreate, storage.Receive()))) return false;
    ComPtr<IStream> s;
    if (Failed(storage->CreateStream("Events", s.Receive()))) return false;
    std::vector<uint8_t> bytes = HistoryBytes(entries);
    if (Failed(WriteAll(s.get(), bytes.data(), static_cast<uint32_t>(bytes.size())))) return false;
    return Succeeded(s->Commit());
  }
  std::string path() const { return dir + "/ZELINFO.DAT"; }
  uint64_t file_size() const {
    struct stat st {};
    return stat(path().c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  }
  TempDir temp{"events_bench"};
  const std::string dir = temp.path();
  ComPtr<IStorage> storage;  // released before the directory goes
};

long ResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

void BM_LoadStoredLog(benchmark::State& state) {
  TempStore store;
  if (!store.Create(static_cast<uint32_t>(state.range(0)))) {
    state.SkipWithError("cannot make the store");
    return;
  }
  long added_kib = 0;
  for (auto _ : state) {
    long before = ResidentKiB();
    ComPtr<CZelEvents> log = MakeObject<CZelEvents>();
    if (Failed(log->LoadStoredLog(store.storage.get()))) state.SkipWithError("load failed");
    added_kib = std::max(added_kib, ResidentKiB() - before);
    state.PauseTiming();
    log.reset();
    state.ResumeTiming();
  }
  state.counters["entries"] = static_cast<double>(state.range(0));
  state.counters["rss_added_KiB"] = static_cast<double>(added_kib);
}
BENCHMARK(BM_LoadStoredLog)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_DecodeStoredLog(benchmark::State& state) {
  std::vector<uint8_t> bytes = HistoryBytes(static_cast<uint32_t>(state.range(0)));
  for (auto _ : state) {
    DecodedLog log = DecodeStoredLog(bytes);
    benchmark::DoNotOptimize(log.entries.data());
  }
}
BENCHMARK(BM_DecodeStoredLog)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

// The history lengths of the commit benchmarks and their baselines; 500,000 entries make a file
// of about 9 MB, where the FAT goes on in DIFAT sectors.
void HistoryLengths(benchmark::internal::Benchmark* b) {
  for (int64_t entries : {100, 10000, 100000, 500000}) b->Arg(entries);
  b->Unit(benchmark::kMillisecond);
}

void BM_WalkCommit(benchmark::State& state) {
  TempStore store;
  if (!store.Create(static_cast<uint32_t>(state.range(0)))) {
    state.SkipWithError("cannot make the store");
    return;
  }
  EventsStore events;
  std::vector<EntryValues> loaded;
  if (Failed(events.Load(store.storage.get(), &loaded))) {
    state.SkipWithError("load failed");
    return;
  }
  loaded.clear();
  std::vector<EntryValues> walk = {
      {Variant::I4(0x31), Variant::FromDate(Date{46000.5}), Variant::UI4(1)},
      {Variant::I4(0x04), Variant::FromDate(Date{46000.6}), Variant::UI4(2)},
      {Variant::I4(0x82), Variant::Str(BStr("Unknown")), Variant::UI4(3)}};
  LastSeenRecord seen{};
  const uint64_t written_before = StoreCommitBytesWritten();
  for (auto _ : state) {
    seen[9] = static_cast<uint8_t>(seen[9] + 1);
    if (Failed(events.CommitWalk(walk, &seen))) state.SkipWithError("commit failed");
  }
  // What the commits wrote to the store, headers and sectors (a whole-file rewrite counts the
  // whole image).
  const uint64_t written = StoreCommitBytesWritten() - written_before;
  state.counters["history_entries"] = static_cast<double>(state.range(0));
  state.counters["bytes_written_per_entry"] =
      static_cast<double>(written) / static_cast<double>(state.iterations() * walk.size());
  state.counters["bytes_written_per_walk"] =
      static_cast<double>(written) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_WalkCommit)->Apply(HistoryLengths);

// The floor under any commit that replaces the file: write, flush, rename, flush the directory.
void BM_BareFileReplace(benchmark::State& state) {
  TempStore store;
  if (!store.Create(static_cast<uint32_t>(state.range(0)))) {
    state.SkipWithError("cannot make the store");
    return;
  }
  std::vector<uint8_t> image(store.file_size(), 0x5A);
  std::string tmp = store.dir + "/bare.tmp";
  std::string target = store.dir + "/bare";
  for (auto _ : state) {
    FILE* f = fopen(tmp.c_str(), "wb");
    if (f == nullptr) {
      state.SkipWithError("fopen failed");
      break;
    }
    (void)fwrite(image.data(), 1, image.size(), f);
    (void)fflush(f);
    (void)fsync(fileno(f));
    (void)fclose(f);
    (void)rename(tmp.c_str(), target.c_str());
  }
  state.counters["file_bytes"] = static_cast<double>(image.size());
}
BENCHMARK(BM_BareFileReplace)->Apply(HistoryLengths);

// The floor under an in-place commit of one walk: eight sectors written and flushed, then the
// header written and flushed.
void BM_BarePatchInPlace(benchmark::State& state) {
  TempStore store;
  if (!store.Create(static_cast<uint32_t>(state.range(0)))) {
    state.SkipWithError("cannot make the store");
    return;
  }
  std::string target = store.dir + "/bare";
  std::vector<uint8_t> image(store.file_size(), 0x5A);
  {
    FILE* f = fopen(target.c_str(), "wb");
    if (f == nullptr) {
      state.SkipWithError("fopen failed");
      return;
    }
    (void)fwrite(image.data(), 1, image.size(), f);
    (void)fclose(f);
  }
  int fd = open(target.c_str(), O_WRONLY | O_CLOEXEC);
  std::vector<uint8_t> sectors(8 * 512, 0xA5);
  for (auto _ : state) {
    (void)!pwrite(fd, sectors.data(), sectors.size(), static_cast<off_t>(image.size() / 2));
    (void)fdatasync(fd);
    (void)!pwrite(fd, sectors.data(), 512, 0);
    (void)fdatasync(fd);
  }
  close(fd);
  state.counters["file_bytes"] = static_cast<double>(image.size());
}
BENCHMARK(BM_BarePatchInPlace)->Apply(HistoryLengths);

// A server with a stored log of N entries behind a bridge on a Unix socket, made once.
struct LogServer {
  explicit LogServer(uint32_t entries) {
    if (!store.Create(entries)) return;
    store.storage.reset();  // the server opens it itself
    SetInstanceDir(store.dir);
    RegisterLinkClasses();
    RegisterServerClasses();
    RegisterModelClasses();
    RegisterEventLogClasses();
    // The registry's one server, the one the bridge hands to clients.
    ComPtr<IZelServer> created;
    if (Failed(ClassRegistry::Instance().Create(kClsidZelServer, &created))) return;
    server = ComPtr<CZelServer>(static_cast<CZelServer*>(created.get()));
    if (Failed(server->OpenLocalStore())) return;
    bridge::BridgeOptions o;
    o.unix_socket_path = store.dir + "/zelbridge.sock";
    o.tcp_port = -1;
    bridge_ = std::make_unique<bridge::AutomationBridge>(o);
    ok = Succeeded(bridge_->Start());
  }
  ~LogServer() {
    if (bridge_) bridge_->Stop();
  }
  int Zelctl(std::vector<std::string> args) {
    args.insert(args.begin(), {"--socket", store.dir + "/zelbridge.sock"});
    std::ostringstream out, err;
    return cli::RunZelctl(args, out, err);
  }
  TempStore store;
  ComPtr<CZelServer> server;
  std::unique_ptr<bridge::AutomationBridge> bridge_;
  bool ok = false;
};

LogServer& SharedLogServer() {
  static LogServer* server = new LogServer(100000);
  return *server;
}

void BM_ZelctlEventsSince(benchmark::State& state) {
  LogServer& s = SharedLogServer();
  if (!s.ok) {
    state.SkipWithError("no server");
    return;
  }
  for (auto _ : state) {
    if (s.Zelctl({"--json", "events", "--since", "99990"}) != 0) state.SkipWithError("failed");
  }
  state.counters["history_entries"] = 100000;
  state.counters["entries_listed"] = 10;
}
BENCHMARK(BM_ZelctlEventsSince)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_ZelctlGetCount(benchmark::State& state) {
  LogServer& s = SharedLogServer();
  if (!s.ok) {
    state.SkipWithError("no server");
    return;
  }
  for (auto _ : state) {
    if (s.Zelctl({"get", "Events.Count"}) != 0) state.SkipWithError("failed");
  }
}
BENCHMARK(BM_ZelctlGetCount)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
}  // namespace zel

BENCHMARK_MAIN();
