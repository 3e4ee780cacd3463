// A second process for the storage tests.
//
//   storage_test_helper crashloop PATH   opens the store, prints the status, then commits
//                                        generations of GenerationStreams() in groups, forever
//                                        (the test kills it with SIGKILL)
//   storage_test_helper hold PATH        opens (or creates) the store, prints the status, keeps
//                                        the store open until standard input closes
//   storage_test_helper tryopen PATH     opens the existing store, prints the status, exits
//
// Statuses are printed as "0x%08X" followed by a newline. Exit code 0 unless the arguments are
// wrong (64) or a commit in the crash loop fails (3).
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/compound_file_samples.h"
#include "platform/storage.h"

namespace zel {
namespace {

void PrintStatus(HRESULT hr) {
  std::printf("%s\n", StatusHex(hr).c_str());
  std::fflush(stdout);
}

uint64_t StoredGeneration(IStorage* storage) {
  ComPtr<IStream> s;
  if (Failed(storage->OpenStream("Gen", s.Receive()))) return 0;
  uint8_t bytes[8] = {};
  if (Failed(ReadExact(s.get(), bytes, sizeof(bytes)))) return 0;
  uint64_t g = 0;
  for (int i = 7; i >= 0; --i) g = (g << 8) | bytes[i];
  return g;
}

int CrashLoop(const std::string& path) {
  ComPtr<IStorage> storage;
  HRESULT hr = OpenCompoundFile(path, StorageOpenMode::kOpenOrCreate, storage.Receive());
  PrintStatus(hr);  // tells the test the store is open and the loop starts
  if (Failed(hr)) return 2;
  for (uint64_t g = StoredGeneration(storage.get()) + 1;; ++g) {
    CommitGroup group(storage.get());
    for (const CompoundStream& s : GenerationStreams(g)) {
      ComPtr<IStream> stream;
      if (Failed(storage->CreateStream(s.name, stream.Receive()))) return 3;
      if (Failed(WriteAll(stream.get(), s.data.data(), static_cast<uint32_t>(s.data.size())))) {
        return 3;
      }
      // Inside the group this commit is deferred to the group's end.
      if (Failed(stream->Commit())) return 3;
    }
    if (g % 2 == 1) (void)storage->DestroyElement("D");
    if (Failed(group.End())) return 3;
  }
}

int Hold(const std::string& path) {
  ComPtr<IStorage> storage;
  PrintStatus(OpenCompoundFile(path, StorageOpenMode::kOpenOrCreate, storage.Receive()));
  char buf[64];
  while (::read(STDIN_FILENO, buf, sizeof(buf)) > 0) {
  }
  return 0;
}

int TryOpen(const std::string& path) {
  ComPtr<IStorage> storage;
  PrintStatus(OpenCompoundFile(path, StorageOpenMode::kOpenExisting, storage.Receive()));
  return 0;
}

}  // namespace
}  // namespace zel

int main(int argc, char** argv) {
  if (argc != 3) return 64;
  if (std::strcmp(argv[1], "crashloop") == 0) return zel::CrashLoop(argv[2]);
  if (std::strcmp(argv[1], "hold") == 0) return zel::Hold(argv[2]);
  if (std::strcmp(argv[1], "tryopen") == 0) return zel::TryOpen(argv[2]);
  return 64;
}
