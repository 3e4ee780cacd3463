// Cost of a commit of the local store: the whole image is rebuilt and written to a temporary
// file, flushed, renamed over the store and the directory flushed. BM_StoreCommit measures that
// end to end for a store of the given total size; BM_SerializeImage measures the in-memory part
// alone, so the share of the disk flushes is visible. Times are wall-clock: a commit mostly
// waits for the disk.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/compound_file.h"
#include "platform/storage.h"
#include "testing/temp_dir.h"

namespace zel {
namespace {

// A store shaped like ZELINFO.DAT: a few small streams and one that holds most of the bytes.
std::vector<CompoundStream> StoreOfSize(size_t total) {
  std::vector<CompoundStream> s = {{"Setup", std::vector<uint8_t>(300, 1)},
                                   {"SystemSetup", std::vector<uint8_t>(8000, 2)},
                                   {"Names.2", std::vector<uint8_t>(3000, 3)},
                                   {"EventsState", std::vector<uint8_t>(16, 4)}};
  size_t used = 300 + 8000 + 3000 + 16;
  s.push_back({"Events", std::vector<uint8_t>(total > used ? total - used : 0, 5)});
  return s;
}

void BM_StoreCommit(benchmark::State& state) {
  TempDir temp("storage_bench");
  const std::string& dir = temp.path();
  {
    ComPtr<IStorage> storage;
    if (Failed(
            OpenCompoundFile(dir + "/ZELINFO.DAT", StorageOpenMode::kCreate, storage.Receive()))) {
      state.SkipWithError("cannot create the store");
      return;
    }
    ComPtr<IStream> events;
    for (const CompoundStream& s : StoreOfSize(static_cast<size_t>(state.range(0)))) {
      ComPtr<IStream> stream;
      (void)storage->CreateStream(s.name, stream.Receive());
      (void)WriteAll(stream.get(), s.data.data(), static_cast<uint32_t>(s.data.size()));
      (void)stream->Commit();
      if (s.name == "Events") events = stream;
    }
    uint32_t counter = 0;
    for (auto _ : state) {
      // One 4-byte change, as an event-log count update makes, then the commit.
      (void)events->Seek(0, SeekOrigin::kSet, nullptr);
      (void)WriteAll(events.get(), &++counter, sizeof(counter));
      if (Failed(events->Commit())) state.SkipWithError("commit failed");
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_StoreCommit)
    ->Arg(64 << 10)
    ->Arg(4 << 20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_SerializeImage(benchmark::State& state) {
  std::vector<CompoundStream> streams = StoreOfSize(static_cast<size_t>(state.range(0)));
  std::vector<CompoundStreamView> views;
  for (const CompoundStream& s : streams) views.push_back({s.name, s.data});
  std::vector<uint8_t> image;
  for (auto _ : state) {
    (void)SerializeCompoundFile(views, &image);
    benchmark::DoNotOptimize(image.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SerializeImage)
    ->Arg(64 << 10)
    ->Arg(4 << 20)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace zel

BENCHMARK_MAIN();
