// Runs a fuzz target's entry point without libFuzzer, so every compiler's build exercises it
// (under the sanitizers when the build has them). Linked with each target's entry point into
// <target>_fuzz_replay; CTest runs it on the target's corpus directory.
//
//   <target>_fuzz_replay [--mutations N] PATH...
//
// Each PATH is a file or a directory (its regular files, in name order). Every input runs as it
// is, then N fixed-seed mutations of it (default 0): bit flips, 32-bit fields set to boundary
// values, truncations, duplicated and removed runs of bytes. The same inputs on every run, so a
// failure is reproducible. Exit status 0 when every input was handled; a fault aborts or is
// reported by a sanitizer, naming the input that was running.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

// The input being run, named on stderr when it faults (a sanitizer's report names it in the
// stack instead: rerun with the file alone).
char g_current[1024];

void SetCurrent(const std::string& name) {
  std::snprintf(g_current, sizeof g_current, "%s", name.c_str());
}

void OnFault(int sig) {
  static const char kPrefix[] = "fault while running ";
  (void)!write(2, kPrefix, sizeof kPrefix - 1);
  (void)!write(2, g_current, std::strlen(g_current));
  (void)!write(2, "\n", 1);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void Run(const Bytes& input) {
  // A copy of exactly the input's size, so a read past its end is caught by the sanitizers.
  auto* copy = static_cast<uint8_t*>(std::malloc(input.empty() ? 1 : input.size()));
  if (copy == nullptr) std::abort();
  if (!input.empty()) std::memcpy(copy, input.data(), input.size());
  LLVMFuzzerTestOneInput(copy, input.size());
  std::free(copy);
}

Bytes Mutate(const Bytes& base, std::mt19937& rng) {
  Bytes m = base;
  if (m.empty()) {
    m.push_back(static_cast<uint8_t>(rng()));
    return m;
  }
  static const uint32_t kBoundary[] = {0,          1,          0x7F,       0x80,       0xFF,
                                       0x100,      0x1000,     0x7FFFFFFF, 0x80000000, 0xFFFFFFFA,
                                       0xFFFFFFFC, 0xFFFFFFFD, 0xFFFFFFFE, 0xFFFFFFFF};
  switch (rng() % 5) {
    case 0:
      for (int flips = 1 + static_cast<int>(rng() % 3); flips > 0; --flips) {
        m[rng() % m.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      }
      break;
    case 1: {
      size_t at = rng() % m.size();
      uint32_t v = kBoundary[rng() % std::size(kBoundary)];
      for (size_t i = 0; i < 4 && at + i < m.size(); ++i) {
        m[at + i] = static_cast<uint8_t>(v >> (8 * i));
      }
      break;
    }
    case 2:
      m.resize(rng() % m.size());
      break;
    case 3: {
      size_t at = rng() % m.size();
      size_t len = std::min<size_t>(1 + rng() % 16, m.size() - at);
      Bytes run(m.begin() + static_cast<std::ptrdiff_t>(at),
                m.begin() + static_cast<std::ptrdiff_t>(at + len));
      m.insert(m.begin() + static_cast<std::ptrdiff_t>(rng() % m.size()), run.begin(), run.end());
      break;
    }
    default: {
      size_t at = rng() % m.size();
      size_t len = std::min<size_t>(1 + rng() % 16, m.size() - at);
      m.erase(m.begin() + static_cast<std::ptrdiff_t>(at),
              m.begin() + static_cast<std::ptrdiff_t>(at + len));
      break;
    }
  }
  return m;
}

bool ReadFile(const std::filesystem::path& path, Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), {});
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  int mutations = 0;
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--mutations") == 0 && i + 1 < argc) {
      mutations = std::atoi(argv[++i]);
      continue;
    }
    std::error_code ec;
    std::filesystem::path path(argv[i]);
    if (std::filesystem::is_directory(path, ec)) {
      std::vector<std::filesystem::path> found;
      for (const auto& entry : std::filesystem::directory_iterator(path, ec)) {
        if (entry.is_regular_file()) found.push_back(entry.path());
      }
      std::sort(found.begin(), found.end());
      files.insert(files.end(), found.begin(), found.end());
    } else if (std::filesystem::is_regular_file(path, ec)) {
      files.push_back(path);
    } else {
      std::fprintf(stderr, "no such file or directory: %s\n", argv[i]);
      return 2;
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: %s [--mutations N] FILE|DIRECTORY...\n", argv[0]);
    return 2;
  }

  for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) std::signal(sig, OnFault);
  std::mt19937 rng(20261206);  // fixed seed: the same inputs on every run
  size_t runs = 0;
  for (const std::filesystem::path& file : files) {
    Bytes input;
    if (!ReadFile(file, &input)) {
      std::fprintf(stderr, "cannot read %s\n", file.c_str());
      return 1;
    }
    SetCurrent(file.string());
    Run(input);
    ++runs;
    for (int m = 0; m < mutations; ++m, ++runs) {
      SetCurrent(file.string() + " (mutation " + std::to_string(m) + ")");
      Run(Mutate(input, rng));
    }
  }
  std::printf("%zu inputs from %zu files handled\n", runs, files.size());
  return 0;
}
