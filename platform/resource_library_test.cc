#include "platform/resource_library.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "gtest/gtest.h"
#include "platform/instance_paths.h"
#include "platform/settings_registry.h"

namespace zel {
namespace {

std::shared_ptr<const ResourceLibrary> MustParse(std::string_view text) {
  std::shared_ptr<const ResourceLibrary> lib;
  std::string error;
  EXPECT_EQ(S_OK, ResourceLibrary::Parse(text, &lib, &error)) << error;
  return lib;
}

std::string ParseError(std::string_view text) {
  std::shared_ptr<const ResourceLibrary> lib;
  std::string error;
  EXPECT_EQ(E_FAIL, ResourceLibrary::Parse(text, &lib, &error));
  EXPECT_EQ(nullptr, lib);
  return error;
}

TEST(ResourceCatalogTest, ParsesBothTablesWithCommentsAndHexIds) {
  auto lib = MustParse(
      "\xEF\xBB\xBF# comment\n"
      "\n"
      "[strings]\r\n"
      "  185 =   /dev/ttyS   \r\n"
      "0x67 = Unknown\n"
      "[messages]\n"
      "0x80004005 = Unspecified failure.\n"
      "0xc0020066 = Could not start: %1");  // no final newline
  EXPECT_EQ("/dev/ttyS", lib->String(185));
  EXPECT_EQ("Unknown", lib->String(103));
  EXPECT_EQ("Unspecified failure.", lib->Message(0x80004005));
  EXPECT_EQ("Could not start: %1", lib->Message(0xC0020066));
  // The tables are separate: a message id is not a string id and vice versa.
  EXPECT_FALSE(lib->String(0x80004005));
  EXPECT_FALSE(lib->Message(185));
  EXPECT_FALSE(lib->String(104));
}

TEST(ResourceCatalogTest, EscapesAndLiteralBackslashes) {
  auto lib = MustParse(
      "[strings]\n"
      "1 = a\\nb\\tc\n"
      "2 = SOFTWARE\\Tamsen\\Portico\n"
      "3 = one\\\\new\n"
      "4 = text = with equals\n"
      "5 =\n"
      "6 = trailing backslash\\\n");
  EXPECT_EQ("a\nb\tc", lib->String(1));
  EXPECT_EQ("SOFTWARE\\Tamsen\\Portico", lib->String(2));
  EXPECT_EQ("one\\new", lib->String(3));
  EXPECT_EQ("text = with equals", lib->String(4));
  EXPECT_EQ("", lib->String(5));
  EXPECT_EQ("trailing backslash\\", lib->String(6));
}

TEST(ResourceCatalogTest, ErrorsNameTheLine) {
  EXPECT_EQ("line 2: entry before any [strings] or [messages]", ParseError("# x\n100 = a\n"));
  EXPECT_EQ("line 3: expected 'id = text'", ParseError("[strings]\n100 = a\nno equals\n"));
  EXPECT_NE(std::string::npos, ParseError("[strings]\n\n12x = a\n").find("line 3: bad id '12x'"));
  EXPECT_NE(std::string::npos, ParseError("[strings]\n0x100000000 = a\n").find("line 2: bad id"));
  EXPECT_NE(std::string::npos, ParseError("[strings]\n0x = a\n").find("line 2: bad id"));
  EXPECT_NE(std::string::npos, ParseError("[strings]\n-1 = a\n").find("line 2: bad id"));
  EXPECT_NE(std::string::npos, ParseError("[strings]\n = a\n").find("line 2: bad id"));
  EXPECT_NE(std::string::npos, ParseError("[Strings]\n").find("line 1: unknown section"));
  EXPECT_EQ("line 3: id 0x64 appears twice in this section",
            ParseError("[strings]\n100 = a\n0x64 = b\n"));
  EXPECT_EQ("line 2: text is not valid UTF-8", ParseError("[strings]\n1 = caf\xE9\n"));
  EXPECT_EQ("line 2: text is not valid UTF-8", ParseError("[strings]\n1 = \xC3\n"));
  EXPECT_EQ("line 2: text is not valid UTF-8",
            ParseError("[strings]\n1 = \xC0\xAF\n"));  // overlong
  // The same id in the other table is fine; a maximal 32-bit id is fine.
  auto lib = MustParse("[strings]\n100 = a\n[messages]\n100 = b\n4294967295 = c\n");
  EXPECT_EQ("c", lib->Message(0xFFFFFFFF));
}

TEST(ResourceCatalogTest, ValidUtf8IsKept) {
  auto lib = MustParse("[strings]\n1 = Kühlschrank – 温度 😀\n");
  EXPECT_EQ("Kühlschrank – 温度 😀", lib->String(1));
}

class ProcessResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zel_res_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    SetInstanceDir(dir_.string());
  }
  void TearDown() override {
    InstallResources(nullptr);
    SetInstanceDir("");
    std::filesystem::remove_all(dir_);
  }
  void WriteCatalog(const std::string& text) {
    ASSERT_EQ(S_OK, EnsureInstanceDir());
    std::ofstream(InstancePath(kResourceLibraryName)) << text;
  }
  std::filesystem::path dir_;
};

TEST_F(ProcessResourcesTest, LookupsWithoutLibrary) {
  InstallResources(nullptr);
  BStr s("untouched");
  EXPECT_EQ(E_UNEXPECTED, LoadResourceString(100, &s));
  EXPECT_EQ("untouched", s.str());
  EXPECT_EQ("Unknown Error", MessageText(0x80004005));
  EXPECT_EQ(E_POINTER, LoadResourceString(100, nullptr));
}

TEST_F(ProcessResourcesTest, LoadsFromInstanceDirAndInstalls) {
  WriteCatalog("[strings]\n100 = Svc\n[messages]\n0x80004005 = Bad.\n");
  std::string used;
  ASSERT_EQ(S_OK, LoadProcessResources(&used));
  EXPECT_EQ(InstancePath(kResourceLibraryName), used);
  BStr s;
  EXPECT_EQ(S_OK, LoadResourceString(100, &s));
  EXPECT_EQ("Svc", s.str());
  s = BStr("kept");
  EXPECT_EQ(E_UNEXPECTED, LoadResourceString(101, &s));
  EXPECT_EQ("kept", s.str());
  EXPECT_EQ("Bad.", MessageText(static_cast<uint32_t>(E_FAIL)));
  EXPECT_EQ("Unknown Error", MessageText(0x80004001));
}

TEST_F(ProcessResourcesTest, MissingCatalogIsFileNotFound) {
  std::string used;
  EXPECT_EQ(MakeHresult(0x80070002), LoadProcessResources(&used));
  EXPECT_EQ(InstancePath(kResourceLibraryName), used);
  EXPECT_EQ(nullptr, Resources());
}

TEST_F(ProcessResourcesTest, RegistryValueNamesTheDirectory) {
  WriteCatalog("[strings]\n100 = from instance\n");
  std::string other = (dir_ / "translated").string();
  std::filesystem::create_directories(other);
  std::ofstream(other + "/" + std::string(kResourceLibraryName)) << "[strings]\n100 = übersetzt\n";
  RegKey key;
  ASSERT_EQ(S_OK, RegKey::LocalMachine().Create(kResourcesKey, &key));
  ASSERT_EQ(S_OK, key.SetString(kResourcesValue, other));  // no trailing "/"

  std::string used;
  ASSERT_EQ(S_OK, LoadProcessResources(&used));
  EXPECT_EQ(other + "/" + std::string(kResourceLibraryName), used);
  BStr s;
  EXPECT_EQ(S_OK, LoadResourceString(100, &s));
  EXPECT_EQ("übersetzt", s.str());

  // A value naming a directory without the catalogue is that failure, not a fallback.
  ASSERT_EQ(S_OK, key.SetString(kResourcesValue, (dir_ / "nowhere/").string()));
  EXPECT_EQ(MakeHresult(0x80070002), LoadProcessResources(&used));
  EXPECT_EQ((dir_ / "nowhere" / kResourceLibraryName).string(), used);

  // Without the value the instance directory is used.
  ASSERT_EQ(S_OK, key.DeleteValue(kResourcesValue));
  ASSERT_EQ(S_OK, LoadProcessResources(&used));
  EXPECT_EQ(InstancePath(kResourceLibraryName), used);
  EXPECT_EQ(S_OK, LoadResourceString(100, &s));
  EXPECT_EQ("from instance", s.str());
}

TEST_F(ProcessResourcesTest, UnreadableRegistryFallsBackToInstanceDir) {
  WriteCatalog("[strings]\n100 = x\n");
  std::ofstream(InstancePath(kRegistryFileName)) << "not json";
  std::string used;
  EXPECT_EQ(S_OK, LoadProcessResources(&used));
  EXPECT_EQ(InstancePath(kResourceLibraryName), used);
}

TEST_F(ProcessResourcesTest, BrokenCatalogKeepsPreviousLibrary) {
  auto previous = MustParse("[strings]\n100 = old\n");
  InstallResources(previous);
  WriteCatalog("[strings]\n100 = new\nbroken\n");
  std::string error;
  EXPECT_EQ(E_FAIL, LoadProcessResources(nullptr, &error));
  EXPECT_EQ(InstancePath(kResourceLibraryName) + ": line 3: expected 'id = text'", error);
  EXPECT_EQ(previous, Resources());
}

TEST_F(ProcessResourcesTest, DirectoryInsteadOfFileFailsCleanly) {
  ASSERT_EQ(S_OK, EnsureInstanceDir());
  std::filesystem::create_directory(InstancePath(kResourceLibraryName));
  std::shared_ptr<const ResourceLibrary> lib;
  EXPECT_TRUE(Failed(ResourceLibrary::LoadFile(InstancePath(kResourceLibraryName), &lib)));
  EXPECT_EQ(nullptr, lib);
}

TEST_F(ProcessResourcesTest, InstanceDirPrecedence) {
  SetInstanceDir("");
  ::unsetenv("ZELCOMMSRV_HOME");
  EXPECT_EQ("/var/lib/zelcommsrv", InstanceDir());
  ::setenv("ZELCOMMSRV_HOME", "/tmp/from-env", 1);
  EXPECT_EQ("/tmp/from-env", InstanceDir());
  EXPECT_EQ("/tmp/from-env/ZELINFO.DAT", InstancePath("ZELINFO.DAT"));
  SetInstanceDir("/tmp/explicit/");
  EXPECT_EQ("/tmp/explicit/", InstanceDir());
  EXPECT_EQ("/tmp/explicit/ZELINFO.DAT", InstancePath("ZELINFO.DAT"));
  ::unsetenv("ZELCOMMSRV_HOME");
}

TEST_F(ProcessResourcesTest, EnsureInstanceDirCreatesParents) {
  SetInstanceDir((dir_ / "a" / "b").string());
  ASSERT_EQ(S_OK, EnsureInstanceDir());
  struct stat st;
  ASSERT_EQ(0, ::stat((dir_ / "a" / "b").c_str(), &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(0u, st.st_mode & 0007) << "others must not see the instance directory";
  EXPECT_EQ(S_OK, EnsureInstanceDir());  // already there
  // A file where the directory should be.
  std::ofstream((dir_ / "file").string()) << "x";
  SetInstanceDir((dir_ / "file").string());
  EXPECT_TRUE(Failed(EnsureInstanceDir()));
}

// The shipped catalogue must carry every id the server looks up. This list is kept by hand from
// the places the ids are used, independently of the catalogue file.
TEST(ShippedCatalogTest, HasEveryIdTheServerUses) {
  std::shared_ptr<const ResourceLibrary> lib;
  std::string error;
  ASSERT_EQ(S_OK, ResourceLibrary::LoadFile(SourceTreeCatalogPath(), &lib, &error)) << error;

  std::vector<uint32_t> strings = {100, 101, 102, 103, 130, 131, 132, 185, 240, 242, 245};
  for (uint32_t id = 104; id <= 129; ++id) strings.push_back(id);  // model names
  for (uint32_t id = 133; id <= 142; ++id) strings.push_back(id);
  for (uint32_t id = 150; id <= 175; ++id) strings.push_back(id);  // system event labels
  for (uint32_t id = 194; id <= 199; ++id) strings.push_back(id);  // built-in user codes
  for (uint32_t id = 200; id <= 238; ++id) strings.push_back(id);  // system zones
  for (uint32_t id : strings) {
    auto text = lib->String(id);
    ASSERT_TRUE(text.has_value()) << "string " << id;
    EXPECT_FALSE(text->empty()) << "string " << id;
  }
  EXPECT_EQ("ZelCommSrv", lib->String(100));
  EXPECT_EQ("/dev/ttyS", lib->String(185));
  for (uint32_t id = 200; id <= 238; ++id) {
    EXPECT_LE(lib->String(id)->size(), 16u) << "system zone name " << id << " too long";
  }

  const uint32_t messages[] = {
      // Event-log messages.
      0x00020064, 0x00020065, 0xC0020066, 0xC0020067, 0x80020068, 0x80020070, 0xC0020071,
      // Status codes.
      0x80004001, 0x80004002, 0x80004003, 0x80004004, 0x80004005, 0x80004021, 0x8000FFFF,
      0x80070005, 0x80070006, 0x8007000E, 0x80070057, 0x800705B4, 0x80010105, 0x80010108,
      0x80080005, 0x8001011F, 0x80040110, 0x80040111, 0x80040154, 0x800401F3, 0x80040200,
      0x80040201, 0x80040202, 0x80020001, 0x80020003, 0x80020004, 0x80020005, 0x80020006,
      0x80020007, 0x80020008, 0x80020009, 0x8002000A, 0x8002000B, 0x8002000E, 0x8002000F,
      0x80020012, 0x80030001, 0x80030002, 0x80030003, 0x80030005, 0x80030006, 0x80030008,
      0x80030009, 0x8003001D, 0x8003001E, 0x80030020, 0x80030021, 0x80030050, 0x80030057,
      0x80030070, 0x800300FB, 0x800300FC, 0x80030102, 0x80030109, 0x80070002, 0x800700EA,
      0x80070103, 0xC0000003, 0xC0000004, 0xC0000005, 0xC0000006, 0xC0000007, 0xC0000008,
      0xC00000FF,
      0xC0030001, 0xC0030002, 0xC0030008, 0xC0030009, 0xC003000A, 0xC003000C, 0xC0030010,
      // Settings registry.
      0x800703F1, 0x800703FA, 0x8007065E};
  for (uint32_t id : messages) {
    auto text = lib->Message(id);
    ASSERT_TRUE(text.has_value()) << std::hex << "message 0x" << id;
    EXPECT_FALSE(text->empty()) << std::hex << "message 0x" << id;
  }
  // The error messages carry the status code.
  EXPECT_NE(std::string::npos, lib->Message(0xC0020066)->find("%1"));
  EXPECT_NE(std::string::npos, lib->Message(0xC0020067)->find("%1"));
}

}  // namespace
}  // namespace zel
