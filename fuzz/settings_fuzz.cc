// Fuzz target for the text files the server reads its settings from. Byte 0 selects:
//   0  the settings registry file: validated, then every key and value walked and read in each
//      typed way. A file that parses must survive a change: after a value is set on the root,
//      the file is rewritten and every value read before reads the same.
//   1  the text catalogue (strings and messages), parsed and every id read.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "fuzz/fuzz_support.h"
#include "platform/resource_library.h"
#include "platform/settings_registry.h"

namespace zel::fuzz {
namespace {

// A private directory in memory, removed at exit: the registry takes a lock file beside its
// file and rewrites the file through a temporary one.
class ScratchDir {
 public:
  ScratchDir() {
    char dir[] = "/dev/shm/zel-fuzz-XXXXXX";
    char fallback[] = "/tmp/zel-fuzz-XXXXXX";
    const char* made = mkdtemp(dir);
    if (made == nullptr) made = mkdtemp(fallback);
    if (made == nullptr) std::abort();
    path_ = made;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const std::string& RegistryFile() {
  static ScratchDir dir;
  static const std::string file = dir.path() + "/registry.json";
  return file;
}

using Values = std::map<std::string, std::tuple<HRESULT, uint32_t, Bytes>>;

constexpr int kMaxDepth = 40;  // deeper trees are walked this far

void Walk(const RegKey& key, int depth, Values* out) {
  for (uint32_t i = 0; i < 10000; ++i) {
    std::string name;
    uint32_t type = 0;
    if (key.EnumValue(i, 16384, &name, &type) != S_OK) break;
    uint32_t size = 0;
    HRESULT hr = key.QueryValue(name, &type, nullptr, &size);
    Bytes data(size);
    if (Succeeded(hr)) hr = key.QueryValue(name, &type, data.data(), &size);
    (*out)[key.path() + "\n" + name] = {hr, type, data};
    std::string text;
    uint32_t number = 0;
    std::vector<uint8_t> binary;
    (void)key.QueryString(name, &text, /*expand=*/true);
    (void)key.QueryDword(name, &number);
    (void)key.QueryBinary(name, &binary);
  }
  if (depth >= kMaxDepth) return;
  for (uint32_t i = 0; i < 10000; ++i) {
    std::string name;
    if (key.EnumKey(i, 256, &name) != S_OK) break;
    RegKey sub;
    if (Succeeded(key.Open(name, &sub))) Walk(sub, depth + 1, out);
  }
}

void FuzzRegistry(FuzzInput& in) {
  const std::string& file = RegistryFile();
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    std::string_view text = in.RestText();
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  std::string detail;
  HRESULT valid = ValidateRegistryFile(file, &detail);
  RegKey root = RegKey::Root(file);
  Values before;
  Walk(root, 0, &before);
  if (Failed(valid)) {
    // A file that does not parse is never rewritten.
    if (Succeeded(root.SetDword("FuzzProbe", 1))) std::abort();
    return;
  }
  if (Failed(root.SetDword("FuzzProbe", 1))) std::abort();
  if (Failed(ValidateRegistryFile(file, &detail))) std::abort();
  Values after;
  Walk(root, 0, &after);
  after.erase(root.path() + "\nFuzzProbe");
  before.erase(root.path() + "\nFuzzProbe");
  if (after != before) std::abort();
}

void FuzzCatalogue(FuzzInput& in) {
  std::shared_ptr<const ResourceLibrary> lib;
  std::string error;
  if (Failed(ResourceLibrary::Parse(in.RestText(), &lib, &error))) return;
  for (uint32_t id = 0; id < 1024; ++id) (void)lib->String(id);
  for (uint32_t id : {0x80020070u, 0xC0020071u, 0xC0000004u, 0x80004005u}) (void)lib->Message(id);
}

}  // namespace
}  // namespace zel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zel::fuzz::FuzzInput in(data, size);
  if (in.Byte() % 2 == 0) {
    zel::fuzz::FuzzRegistry(in);
  } else {
    zel::fuzz::FuzzCatalogue(in);
  }
  return 0;
}
