// Runs the compound-file fuzz target without libFuzzer, so every compiler's CI build exercises
// it (under the sanitizers when the build has them):
//
//   compound_file_fuzz_driver                 the valid sample, every corruption sample, and
//                                             fixed-seed mutations of each (byte flips, 32-bit
//                                             field overwrites, truncations)
//   compound_file_fuzz_driver FILE...         additionally each given file (e.g. a crasher
//                                             found by the libFuzzer build)
//   compound_file_fuzz_driver --write-corpus DIR   writes the samples to DIR as a seed corpus
//
// Exit status 0 when every input was handled; a fault aborts (or is reported by a sanitizer).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/compound_file_samples.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

constexpr int kMutationsPerSample = 300;

void Run(const std::vector<uint8_t>& input) { LLVMFuzzerTestOneInput(input.data(), input.size()); }

// Mutations aimed at what the reader trusts least: single bytes, whole 32-bit fields set to
// boundary values (sector numbers, sizes, counts), and the file's length.
std::vector<uint8_t> Mutate(const std::vector<uint8_t>& base, std::mt19937& rng) {
  std::vector<uint8_t> m = base;
  if (m.empty()) return m;
  static const uint32_t kBoundary[] = {0,          1,          0x7F,       0x80,
                                       0x1000,     0x7FFFFFFF, 0xFFFFFFFA, 0xFFFFFFFC,
                                       0xFFFFFFFD, 0xFFFFFFFE, 0xFFFFFFFF};
  switch (rng() % 3) {
    case 0:
      m[rng() % m.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      break;
    case 1: {
      size_t off = (rng() % m.size()) & ~size_t{3};
      uint32_t v = kBoundary[rng() % std::size(kBoundary)];
      for (int i = 0; i < 4 && off + i < m.size(); ++i)
        m[off + i] = static_cast<uint8_t>(v >> (8 * i));
      break;
    }
    default:
      m.resize(rng() % m.size());
      break;
  }
  return m;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<zel::CorruptSample> samples = zel::AllCorruptSamples();
  samples.push_back({"valid", zel::SampleImage(), zel::S_OK});

  if (argc == 3 && std::strcmp(argv[1], "--write-corpus") == 0) {
    for (const zel::CorruptSample& s : samples) {
      if (!WriteFile(std::string(argv[2]) + "/" + s.name + ".cfb", s.image)) return 1;
    }
    return 0;
  }

  std::mt19937 rng(20240601);  // fixed seed: the same inputs on every run
  size_t runs = 0;
  for (const zel::CorruptSample& s : samples) {
    Run(s.image);
    ++runs;
    for (int i = 0; i < kMutationsPerSample; ++i, ++runs) Run(Mutate(s.image, rng));
  }
  for (int i = 1; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s\n", argv[i]);
      return 1;
    }
    Run(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
    ++runs;
  }
  std::printf("%zu inputs handled\n", runs);
  return 0;
}
