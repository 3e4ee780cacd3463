#include "testing/temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/instance_paths.h"

namespace zel {

TempDir::TempDir(std::string_view prefix) {
  const char* base = std::getenv("TMPDIR");  // NOLINT(concurrency-mt-unsafe): read at set-up
  std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/zel_" +
                        std::string(prefix) + "_XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (::mkdtemp(name.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  path_ = name.data();
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(std::string_view name) const { return path_ + "/" + std::string(name); }

TempInstanceDir::TempInstanceDir(std::string_view prefix) : TempDir(prefix) {
  SetInstanceDir(path());
}

TempInstanceDir::~TempInstanceDir() { SetInstanceDir(""); }

}  // namespace zel
