#include "platform/compound_file.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/compound_file_format.h"
#include "platform/compound_file_samples.h"
#include "testing/temp_dir.h"
#include "zel_source_dir.h"

namespace zel {
namespace {

using namespace cfb;  // NOLINT(google-build-using-namespace): layout constants only

std::vector<uint8_t> Serialize(const std::vector<CompoundStream>& streams, HRESULT* hr = nullptr) {
  std::vector<CompoundStreamView> views;
  for (const CompoundStream& s : streams) views.push_back({s.name, s.data});
  std::vector<uint8_t> image;
  HRESULT result = SerializeCompoundFile(views, &image);
  if (hr) *hr = result;
  return image;
}

std::map<std::string, std::vector<uint8_t>> ParseToMap(const std::vector<uint8_t>& image) {
  std::vector<CompoundStream> streams;
  EXPECT_EQ(ParseCompoundFile(image, &streams), S_OK);
  std::map<std::string, std::vector<uint8_t>> out;
  for (CompoundStream& s : streams) out[s.name] = std::move(s.data);
  return out;
}

std::map<std::string, std::vector<uint8_t>> ToMap(const std::vector<CompoundStream>& streams) {
  std::map<std::string, std::vector<uint8_t>> out;
  for (const CompoundStream& s : streams) out[s.name] = s.data;
  return out;
}

HRESULT ParseStatus(const std::vector<uint8_t>& image) {
  std::vector<CompoundStream> streams;
  return ParseCompoundFile(image, &streams);
}

std::vector<CompoundStream> BoundarySizeStreams() {
  std::vector<CompoundStream> streams;
  uint32_t seed = 0;
  for (uint64_t size : {0, 1, 63, 64, 65, 4095, 4096, 4097, 100 * 1024}) {
    streams.push_back({"Stream" + std::to_string(size), SampleBytes(++seed, size)});
  }
  return streams;
}

std::vector<CompoundStream> LargeStreams() {
  return {{"Big", SampleBytes(9, 8 * 1024 * 1024)}, {"Small", SampleBytes(10, 100)}};
}

TEST(CompoundFileTest, RoundTripsStreamsOfBoundarySizes) {
  std::vector<CompoundStream> streams = BoundarySizeStreams();
  HRESULT hr = E_FAIL;
  std::vector<uint8_t> image = Serialize(streams, &hr);
  ASSERT_EQ(hr, S_OK);
  EXPECT_EQ(image.size() % kSectorSize, 0u);
  EXPECT_EQ(ParseToMap(image), ToMap(streams));
}

TEST(CompoundFileTest, EmptyStoreRoundTrips) {
  std::vector<uint8_t> image = Serialize({});
  EXPECT_TRUE(ParseToMap(image).empty());
  // Header, one FAT sector and one directory sector: nothing else.
  EXPECT_EQ(image.size(), 3u * kSectorSize);
}

TEST(CompoundFileTest, LargeFileUsesDifatSectors) {
  std::vector<CompoundStream> streams = LargeStreams();
  std::vector<uint8_t> image = Serialize(streams);
  ImageEditor e(&image);
  EXPECT_GT(e.U32(kOffNumFatSectors), kHeaderDifatEntries);
  EXPECT_EQ(e.U32(kOffNumDifatSectors), 1u);
  EXPECT_EQ(ParseToMap(image), ToMap(streams));

  // A DIFAT chain that names itself as the next DIFAT sector is a loop.
  uint32_t difat = e.U32(kOffFirstDifatSector);
  e.SetU32(kOffNumDifatSectors, 2);
  e.SetU32(kOffNumFatSectors, kHeaderDifatEntries + 127 + 1);
  e.SetU32(e.SectorOffset(difat) + 127 * 4, difat);
  EXPECT_EQ(ParseStatus(image), STG_E_DOCFILECORRUPT);
}

TEST(CompoundFileTest, NamesAreBoundedAndCaseInsensitive) {
  EXPECT_EQ(ValidateStreamName(std::string(31, 'x')), S_OK);
  EXPECT_EQ(ValidateStreamName(std::string(32, 'x')), STG_E_INVALIDNAME);
  for (const char* bad : {"", "a/b", "a\\b", "a:b", "a!b"}) {
    EXPECT_EQ(ValidateStreamName(bad), STG_E_INVALIDNAME) << bad;
  }
  EXPECT_EQ(FoldStreamName("FriendlyNames.2"), FoldStreamName("FRIENDLYnames.2"));
  EXPECT_EQ(FoldStreamName("gr\xC3\xB6\xC3\x9F"
                           "e"),
            FoldStreamName("GR\xC3\x96\xC3\x9F"
                           "E"));

  HRESULT hr = S_OK;
  Serialize({{"Names", {}}, {"NAMES", {}}}, &hr);
  EXPECT_EQ(hr, STG_E_INVALIDNAME);
  Serialize({{std::string(32, 'x'), {}}}, &hr);
  EXPECT_EQ(hr, STG_E_INVALIDNAME);

  // A name outside ASCII survives the round trip in its own case.
  std::vector<CompoundStream> streams = {
      {"Gr\xC3\xB6\xC3\x9F"
       "e",
       {1, 2, 3}}};
  EXPECT_EQ(ParseToMap(Serialize(streams)), ToMap(streams));
}

// Readers that search the directory instead of walking it rely on the tree being ordered; strict
// readers check the red-black rules. Check both for trees of every shape up to 40 streams.
TEST(CompoundFileTest, DirectoryIsAnOrderedRedBlackTree) {
  for (int n = 1; n <= 40; ++n) {
    std::vector<CompoundStream> streams;
    for (int i = 0; i < n; ++i) {
      // Mixed lengths and cases so that length-first and case-folded ordering both matter.
      std::string name = (i % 2 ? "n" : "N") + std::string(i % 5, 'a' + i % 26) + std::to_string(i);
      streams.push_back({name, {}});
    }
    std::vector<uint8_t> image = Serialize(streams);
    ImageEditor e(&image);
    auto name_of = [&](uint32_t id) {
      std::u16string name;
      size_t off = e.DirEntry(id);
      for (uint32_t k = 0; k + 1 < image[off + kDirOffNameLength] / 2u; ++k) {
        name.push_back(static_cast<char16_t>(image[off + 2 * k] | (image[off + 2 * k + 1] << 8)));
      }
      for (char16_t& c : name) c = (c >= u'a' && c <= u'z') ? c - 0x20 : c;
      return name;
    };
    std::vector<std::u16string> in_order;
    // Returns the black height, or -1 when a rule is broken.
    std::function<int(uint32_t, bool)> walk = [&](uint32_t id, bool parent_red) -> int {
      if (id == kNoStream) return 1;
      size_t off = e.DirEntry(id);
      bool red = image[off + kDirOffColor] == kRed;
      if (red && parent_red) return -1;
      int left = walk(e.U32(off + kDirOffLeft), red);
      in_order.push_back(name_of(id));
      int right = walk(e.U32(off + kDirOffRight), red);
      if (left < 0 || left != right) return -1;
      return left + (red ? 0 : 1);
    };
    uint32_t root = e.U32(e.DirEntry(0) + kDirOffChild);
    EXPECT_EQ(image[e.DirEntry(root) + kDirOffColor], kBlack) << n;
    EXPECT_GT(walk(root, false), 0) << "red-black rule broken with " << n << " streams";
    ASSERT_EQ(in_order.size(), static_cast<size_t>(n));
    for (size_t i = 1; i < in_order.size(); ++i) {
      EXPECT_LT(CompareStreamNames(in_order[i - 1], in_order[i]), 0) << n;
    }
  }
}

TEST(CompoundFileTest, IgnoresHighSizeWordInVersion3) {
  std::vector<uint8_t> image = SampleImage();
  ImageEditor e(&image);
  e.SetU32(e.SizeField(e.FindEntry("Events")) + 4, 0xDEADBEEF);
  EXPECT_EQ(ParseToMap(image), ToMap(SampleStreams()));
}

// One test per defect: each gives its status, none crashes (the suite also runs under ASan).
class CompoundFileCorruptionTest : public ::testing::Test {};

TEST_F(CompoundFileCorruptionTest, SampleIsValid) {
  EXPECT_EQ(ParseToMap(SampleImage()), ToMap(SampleStreams()));
}
TEST_F(CompoundFileCorruptionTest, EmptyFile) { EXPECT_EQ(ParseStatus({}), STG_E_INVALIDHEADER); }
TEST_F(CompoundFileCorruptionTest, TruncatedHeader) {
  EXPECT_EQ(ParseStatus(TruncatedHeaderImage()), STG_E_INVALIDHEADER);
}
TEST_F(CompoundFileCorruptionTest, BadSignature) {
  EXPECT_EQ(ParseStatus(BadSignatureImage()), STG_E_INVALIDHEADER);
}
TEST_F(CompoundFileCorruptionTest, BadByteOrder) {
  EXPECT_EQ(ParseStatus(BadByteOrderImage()), STG_E_INVALIDHEADER);
}
TEST_F(CompoundFileCorruptionTest, FatChainLoop) {
  EXPECT_EQ(ParseStatus(FatChainLoopImage()), STG_E_DOCFILECORRUPT);
}
TEST_F(CompoundFileCorruptionTest, SectorIndexOutOfRange) {
  EXPECT_EQ(ParseStatus(SectorOutOfRangeImage()), STG_E_DOCFILECORRUPT);
}
TEST_F(CompoundFileCorruptionTest, StreamSizePastEndOfFile) {
  EXPECT_EQ(ParseStatus(StreamPastEndOfFileImage()), STG_E_DOCFILECORRUPT);
}
TEST_F(CompoundFileCorruptionTest, StreamSizePastEndOfChain) {
  EXPECT_EQ(ParseStatus(StreamPastEndOfChainImage()), STG_E_DOCFILECORRUPT);
}
TEST_F(CompoundFileCorruptionTest, MiniFatLoop) {
  EXPECT_EQ(ParseStatus(MiniFatLoopImage()), STG_E_DOCFILECORRUPT);
}
TEST_F(CompoundFileCorruptionTest, MiniStreamTooShort) {
  EXPECT_EQ(ParseStatus(MiniStreamTooShortImage()), STG_E_DOCFILECORRUPT);
}
TEST_F(CompoundFileCorruptionTest, DirectoryLoop) {
  EXPECT_EQ(ParseStatus(DirectoryLoopImage()), STG_E_DOCFILECORRUPT);
}
TEST_F(CompoundFileCorruptionTest, CrossLinkedChains) {
  EXPECT_EQ(ParseStatus(CrossLinkedChainsImage()), STG_E_DOCFILECORRUPT);
}
TEST_F(CompoundFileCorruptionTest, FatSectorOutOfRange) {
  EXPECT_EQ(ParseStatus(FatSectorOutOfRangeImage()), STG_E_DOCFILECORRUPT);
}
TEST_F(CompoundFileCorruptionTest, TruncatedBody) {
  EXPECT_EQ(ParseStatus(TruncatedBodyImage()), STG_E_DOCFILECORRUPT);
}
TEST_F(CompoundFileCorruptionTest, BadRootEntry) {
  EXPECT_EQ(ParseStatus(BadRootEntryImage()), STG_E_DOCFILECORRUPT);
}

// Files exchanged with independent implementations of the format.
class CompoundFileInteropTest : public ::testing::Test {
 protected:
  void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    ASSERT_TRUE(out.good());
  }

  // Runs a command, returns its exit status and standard output.
  static int Run(const std::string& command, std::string* output) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return -1;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) output->append(buf, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The Python that has the independent reader: the distribution's first (where the Debian
  // package installs it), then whatever python3 is on the path.
  static std::string PythonWithOlefile() {
    for (const char* py : {"/usr/bin/python3", "python3"}) {
      std::string out;
      if (Run(std::string(py) + " -c 'import olefile' 2>/dev/null", &out) == 0) return py;
    }
    return "";
  }

  static std::string Sha256(const std::vector<uint8_t>& data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr);
    std::string hex;
    char b[3];
    for (unsigned int i = 0; i < len; ++i) {
      std::snprintf(b, sizeof(b), "%02x", md[i]);
      hex += b;
    }
    return hex;
  }

  void ExpectIndependentReaderSees(const std::vector<CompoundStream>& streams) {
    std::string path = dir_ + "/ours.cfb";
    WriteFile(path, Serialize(streams));
    std::string python = PythonWithOlefile();
    if (python.empty()) GTEST_SKIP() << "python3-olefile is not installed";
    std::string output;
    ASSERT_EQ(Run(python + " " ZEL_SOURCE_DIR "/tests/olefile_read.py " + path, &output), 0);
    std::map<std::string, std::string> expected;  // sorted like the script's output
    for (const CompoundStream& s : streams) {
      expected[s.name] = s.name + "\t" + std::to_string(s.data.size()) + "\t" + Sha256(s.data);
    }
    std::string want;
    for (const auto& [name, line] : expected) want += line + "\n";
    EXPECT_EQ(output, want);
  }

  TempDir temp_{"cfb"};
  const std::string dir_ = temp_.path();
};

TEST_F(CompoundFileInteropTest, IndependentReaderOpensBoundarySizes) {
  ExpectIndependentReaderSees(BoundarySizeStreams());
}

TEST_F(CompoundFileInteropTest, IndependentReaderOpensLargeFileWithDifat) {
  ExpectIndependentReaderSees(LargeStreams());
}

TEST_F(CompoundFileInteropTest, IndependentReaderOpensEmptyStore) {
  ExpectIndependentReaderSees({});
}

TEST_F(CompoundFileInteropTest, ReadsFileWrittenByAnotherWriter) {
#ifndef ZEL_MAKE_FOREIGN_CFB
  GTEST_SKIP() << "libgsf-1-dev was not found at configure time";
#else
  std::string path = dir_ + "/foreign.cfb";
  std::string output;
  ASSERT_EQ(Run(std::string(ZEL_MAKE_FOREIGN_CFB) + " " + path, &output), 0);
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> image((std::istreambuf_iterator<char>(in)), {});
  // The storage "Sub" and its stream are skipped: only root streams belong to the store.
  std::vector<CompoundStream> expected = {
      {"Alpha", SampleBytes(1, 0)},     {"Bravo", SampleBytes(2, 1)},
      {"Charlie", SampleBytes(3, 100)}, {"Delta", SampleBytes(4, 4095)},
      {"Echo", SampleBytes(5, 4096)},   {"Foxtrot", SampleBytes(6, 70000)}};
  EXPECT_EQ(ParseToMap(image), ToMap(expected));
#endif
}

}  // namespace
}  // namespace zel
