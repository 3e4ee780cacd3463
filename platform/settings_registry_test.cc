#include "platform/settings_registry.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "gtest/gtest.h"
#include "platform/file_system.h"

namespace zel {
namespace {

class SettingsRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zel_reg_test_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    file_ = (dir_ / "registry.json").string();
    root_ = RegKey::Root(file_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  RegKey MustCreate(std::string_view path) {
    RegKey key;
    EXPECT_EQ(S_OK, root_.Create(path, &key)) << path;
    return key;
  }
  std::string ReadFile() {
    std::ifstream in(file_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  void WriteFile(const std::string& text) {
    std::filesystem::create_directories(dir_);
    std::ofstream(file_, std::ios::binary) << text;
  }

  std::filesystem::path dir_;
  std::string file_;
  RegKey root_;
};

TEST_F(SettingsRegistryTest, KeysOpenIgnoringCaseAndKeepTheirCase) {
  RegKey missing;
  EXPECT_EQ(E_REG_NOT_FOUND, root_.Open("SOFTWARE\\Tamsen", &missing));  // no file yet
  EXPECT_FALSE(missing.IsOpen());

  bool created = false;
  RegKey settings;
  ASSERT_EQ(S_OK, root_.Create("SOFTWARE\\Tamsen\\Portico\\Settings", &settings, &created));
  EXPECT_TRUE(created);
  RegKey again;
  ASSERT_EQ(S_OK, root_.Create("software\\TAMSEN\\portico\\settings", &again, &created));
  EXPECT_FALSE(created);

  RegKey portico;
  ASSERT_EQ(S_OK, root_.Open("software\\tamsen\\PORTICO\\", &portico));  // trailing "\" ok
  std::string name;
  ASSERT_EQ(S_OK, portico.EnumKey(0, 256, &name));
  EXPECT_EQ("Settings", name);  // the case it was created with
  EXPECT_EQ(E_NO_MORE_ITEMS, portico.EnumKey(1, 256, &name));
  EXPECT_EQ(E_REG_NOT_FOUND, portico.Open("Comm Handlers", &missing));

  RegKey self;
  ASSERT_EQ(S_OK, portico.Open("", &self));
  EXPECT_EQ(portico.path(), self.path());
}

TEST_F(SettingsRegistryTest, EnumKeyOrderAndBufferSizes) {
  RegKey handlers = MustCreate("SOFTWARE\\Tamsen\\Portico\\Comm Handlers");
  const std::string guid = "{6A3F0C11-2B7D-4E60-9C1A-00000000A001}";  // 38 characters
  const std::string name39 = std::string(39, 'x');
  const std::string name40 = std::string(40, 'y');
  for (const auto& n : {std::string("beta"), guid, std::string("Alpha"), name39, name40}) {
    RegKey k;
    ASSERT_EQ(S_OK, handlers.Create(n, &k));
  }
  // Case-insensitive alphabetical order: "{" sorts after the letters.
  std::vector<std::string> names;
  std::string name;
  for (uint32_t i = 0; handlers.EnumKey(i, 256, &name) == S_OK; ++i) names.push_back(name);
  EXPECT_EQ((std::vector<std::string>{"Alpha", "beta", name39, name40, guid}), names);
  EXPECT_EQ(E_NO_MORE_ITEMS, handlers.EnumKey(5, 256, &name));

  // A 40-character buffer holds 39 characters and the terminator.
  name = "unchanged";
  EXPECT_EQ(S_OK, handlers.EnumKey(2, 40, &name));
  EXPECT_EQ(name39, name);
  name = "unchanged";
  EXPECT_EQ(E_MORE_DATA, handlers.EnumKey(3, 40, &name));
  EXPECT_EQ("unchanged", name);
  EXPECT_EQ(S_OK, handlers.EnumKey(4, 40, &name));
  EXPECT_EQ(guid, name);
  // Characters, not bytes: "Küche" is 5 characters (6 bytes) and fits a 6-character buffer.
  RegKey k;
  ASSERT_EQ(S_OK, root_.Create("K\xC3\xBC"
                               "che",
                               &k));
  EXPECT_EQ(S_OK, root_.EnumKey(0, 6, &name));
  EXPECT_EQ(
      "K\xC3\xBC"
      "che",
      name);
}

TEST_F(SettingsRegistryTest, MalformedPathsAndClosedKeys) {
  RegKey k;
  EXPECT_EQ(E_INVALIDARG, root_.Create("a\\\\b", &k));
  EXPECT_EQ(E_INVALIDARG, root_.Create("\\a", &k));
  EXPECT_EQ(E_INVALIDARG, root_.Create(std::string(256, 'n'), &k));
  EXPECT_EQ(S_OK, root_.Create(std::string(255, 'n'), &k));
  EXPECT_EQ(E_INVALIDARG, root_.Create("bad\xFFutf8", &k));
  EXPECT_EQ(E_INVALIDARG, root_.DeleteTree(""));  // the root itself cannot go
  EXPECT_EQ(E_POINTER, root_.Open("x", nullptr));

  RegKey closed;
  std::string s;
  EXPECT_EQ(E_HANDLE, closed.Open("x", &k));
  EXPECT_EQ(E_HANDLE, closed.SetDword("x", 1));
  EXPECT_EQ(E_HANDLE, closed.QueryString("x", &s));
  EXPECT_EQ(E_HANDLE, closed.EnumKey(0, 10, &s));
}

TEST_F(SettingsRegistryTest, ValueRoundTripsOfEachType) {
  RegKey key = MustCreate("SOFTWARE\\Tamsen\\Portico\\Settings");
  ASSERT_EQ(S_OK, key.SetString("Text", "Grüße \"quoted\" \\ back"));
  ASSERT_EQ(S_OK, key.SetString("", "default value"));
  ASSERT_EQ(S_OK, key.SetString("Empty", ""));
  ASSERT_EQ(S_OK, key.SetDword("Port", 0xFFFFFFFFu));
  ASSERT_EQ(S_OK, key.SetDword("Zero", 0));
  ASSERT_EQ(S_OK, key.SetBinary("Key", {0x00, 0xFF, 0x10, 0x00}));
  ASSERT_EQ(S_OK, key.SetBinary("NoBytes", {}));

  // Read back through a fresh handle: everything comes from the file.
  RegKey fresh;
  ASSERT_EQ(S_OK, RegKey::Root(file_).Open("Software\\Tamsen\\Portico\\Settings", &fresh));
  std::string s;
  EXPECT_EQ(S_OK, fresh.QueryString("text", &s));
  EXPECT_EQ("Grüße \"quoted\" \\ back", s);
  EXPECT_EQ(S_OK, fresh.QueryString("", &s));
  EXPECT_EQ("default value", s);
  EXPECT_EQ(S_OK, fresh.QueryString("Empty", &s));
  EXPECT_EQ("", s);
  uint32_t n = 7;
  EXPECT_EQ(S_OK, fresh.QueryDword("PORT", &n));
  EXPECT_EQ(0xFFFFFFFFu, n);
  EXPECT_EQ(S_OK, fresh.QueryDword("Zero", &n));
  EXPECT_EQ(0u, n);
  std::vector<uint8_t> bytes;
  EXPECT_EQ(S_OK, fresh.QueryBinary("Key", &bytes));
  EXPECT_EQ((std::vector<uint8_t>{0x00, 0xFF, 0x10, 0x00}), bytes);
  EXPECT_EQ(S_OK, fresh.QueryBinary("NoBytes", &bytes));
  EXPECT_TRUE(bytes.empty());

  // Overwriting changes type and data but keeps the name's first spelling.
  ASSERT_EQ(S_OK, fresh.SetDword("TEXT", 5));
  std::string name;
  uint32_t type = 0;
  std::vector<std::pair<std::string, uint32_t>> values;
  for (uint32_t i = 0; fresh.EnumValue(i, 256, &name, &type) == S_OK; ++i) {
    values.emplace_back(name, type);
  }
  EXPECT_EQ((std::vector<std::pair<std::string, uint32_t>>{{"", REG_SZ},
                                                           {"Empty", REG_SZ},
                                                           {"Key", REG_BINARY},
                                                           {"NoBytes", REG_BINARY},
                                                           {"Port", REG_DWORD},
                                                           {"Text", REG_DWORD},
                                                           {"Zero", REG_DWORD}}),
            values);
  EXPECT_EQ(E_NO_MORE_ITEMS, fresh.EnumValue(7, 256, &name));
  EXPECT_EQ(E_MORE_DATA, fresh.EnumValue(3, 7, &name));  // "NoBytes" needs 8
}

TEST_F(SettingsRegistryTest, QueryValueRawBuffers) {
  RegKey key = MustCreate("K");
  ASSERT_EQ(S_OK, key.SetString("InstallPath", "/srv/zel"));
  ASSERT_EQ(S_OK, key.SetDword("D", 0x01020304));

  uint32_t type = 0, size = 0;
  EXPECT_EQ(S_OK, key.QueryValue("InstallPath", &type, nullptr, &size));  // size only
  EXPECT_EQ(REG_SZ, type);
  EXPECT_EQ(9u, size);  // text and terminator
  char small[4] = {'a', 'b', 'c', 'd'};
  size = sizeof small;
  EXPECT_EQ(E_MORE_DATA, key.QueryValue("InstallPath", &type, small, &size));
  EXPECT_EQ(9u, size);
  EXPECT_EQ('a', small[0]);  // nothing copied
  char buf[32];
  size = sizeof buf;
  EXPECT_EQ(S_OK, key.QueryValue("InstallPath", &type, buf, &size));
  EXPECT_EQ(9u, size);
  EXPECT_EQ(std::string("/srv/zel"), std::string(buf));
  EXPECT_EQ('\0', buf[8]);

  uint8_t d[4];
  size = 4;
  EXPECT_EQ(S_OK, key.QueryValue("D", &type, d, &size));
  EXPECT_EQ(REG_DWORD, type);
  EXPECT_EQ((std::vector<uint8_t>{4, 3, 2, 1}), std::vector<uint8_t>(d, d + 4));

  EXPECT_EQ(E_REG_NOT_FOUND, key.QueryValue("Nope", &type, buf, &size));
  EXPECT_EQ(E_INVALIDARG, key.QueryValue("D", &type, d, nullptr));

  // Raw writes: a text ends at its first zero; a DWORD must be 4 bytes; unknown types refused.
  EXPECT_EQ(S_OK, key.SetValue("T", REG_SZ, "ab\0cd", 5));
  std::string s;
  EXPECT_EQ(S_OK, key.QueryString("T", &s));
  EXPECT_EQ("ab", s);
  EXPECT_EQ(E_INVALIDARG, key.SetValue("D", REG_DWORD, d, 3));
  EXPECT_EQ(E_INVALIDARG, key.SetValue("X", 7, d, 4));
  EXPECT_EQ(E_INVALIDARG, key.SetValue("X", REG_BINARY, nullptr, 4));
  EXPECT_EQ(E_INVALIDARG, key.SetString("X", std::string_view("a\0b", 3)));
  EXPECT_EQ(E_INVALIDARG, key.SetString("X", "caf\xE9"));
}

TEST_F(SettingsRegistryTest, TypedReadsCheckTheType) {
  RegKey key = MustCreate("K");
  ASSERT_EQ(S_OK, key.SetDword("D", 1));
  ASSERT_EQ(S_OK, key.SetString("S", "x"));
  std::string s;
  uint32_t n;
  std::vector<uint8_t> b;
  EXPECT_EQ(E_REG_UNSUPPORTED_TYPE, key.QueryString("D", &s));
  EXPECT_EQ(E_REG_UNSUPPORTED_TYPE, key.QueryDword("S", &n));
  EXPECT_EQ(E_REG_UNSUPPORTED_TYPE, key.QueryBinary("S", &b));
  EXPECT_EQ(E_REG_NOT_FOUND, key.QueryString("missing", &s));
}

TEST_F(SettingsRegistryTest, ExpandableStringsExpandOnlyWhenAsked) {
  ::setenv("ZEL_REG_TEST_DIR", "/opt/zel", 1);
  ::unsetenv("ZEL_REG_TEST_UNSET");
  RegKey key = MustCreate("K");
  ASSERT_EQ(S_OK,
            key.SetString("P", "%ZEL_REG_TEST_DIR%/logs %ZEL_REG_TEST_UNSET% 100%", REG_EXPAND_SZ));
  ASSERT_EQ(S_OK, key.SetString("Plain", "%ZEL_REG_TEST_DIR%"));
  std::string s;
  EXPECT_EQ(S_OK, key.QueryString("P", &s));
  EXPECT_EQ("%ZEL_REG_TEST_DIR%/logs %ZEL_REG_TEST_UNSET% 100%", s);
  EXPECT_EQ(S_OK, key.QueryString("P", &s, true));
  EXPECT_EQ("/opt/zel/logs %ZEL_REG_TEST_UNSET% 100%", s);
  EXPECT_EQ(S_OK, key.QueryString("Plain", &s, true));  // REG_SZ never expands
  EXPECT_EQ("%ZEL_REG_TEST_DIR%", s);
  ::unsetenv("ZEL_REG_TEST_DIR");
}

TEST_F(SettingsRegistryTest, DeletingValuesAndTrees) {
  RegKey ext = MustCreate("SOFTWARE\\Tamsen\\Portico\\Server Extensions\\{A}\\Deep");
  RegKey portico;
  ASSERT_EQ(S_OK, root_.Open("SOFTWARE\\Tamsen\\Portico", &portico));
  ASSERT_EQ(S_OK, portico.SetString("V", "x"));
  EXPECT_EQ(S_OK, portico.DeleteValue("v"));
  EXPECT_EQ(E_REG_NOT_FOUND, portico.DeleteValue("v"));

  EXPECT_EQ(E_REG_NOT_FOUND, portico.DeleteTree("Settings"));
  EXPECT_EQ(S_OK, portico.DeleteTree("server extensions"));
  RegKey k;
  EXPECT_EQ(E_REG_NOT_FOUND, portico.Open("Server Extensions", &k));
  // A handle to a key deleted by someone else.
  std::string s;
  EXPECT_EQ(E_REG_KEY_DELETED, ext.SetString("x", "y"));
  EXPECT_EQ(E_REG_KEY_DELETED, ext.QueryString("x", &s));
  EXPECT_EQ(E_REG_KEY_DELETED, ext.Create("sub", &k));
  EXPECT_EQ(E_REG_KEY_DELETED, ext.EnumKey(0, 10, &s));
}

TEST_F(SettingsRegistryTest, FileIsReadableJsonAndHandEditsAreRead) {
  RegKey key = MustCreate("SOFTWARE\\Tamsen\\Portico\\Resources");
  ASSERT_EQ(S_OK, key.SetString("ZelCommSrvRes.DLL", "/usr/share/zelcommsrv/"));
  ASSERT_EQ(S_OK, key.SetBinary("B", {1, 0xAB}));
  std::string text = ReadFile();
  EXPECT_NE(std::string::npos, text.find("\"format\": \"zelcommsrv-registry 1\"")) << text;
  EXPECT_NE(std::string::npos, text.find("\"Resources\"")) << text;
  EXPECT_NE(std::string::npos, text.find("\"data\": \"01 ab\"")) << text;
  // Nothing is left beside the file but its lock.
  int entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir_)) {
    ++entries;
    EXPECT_TRUE(e.path().filename() == "registry.json" ||
                e.path().filename() == "registry.json.lock")
        << e.path();
  }
  EXPECT_EQ(2, entries);

  WriteFile(R"({"format": "zelcommsrv-registry 1",
    "keys": {"SOFTWARE": {"keys": {"X": {"values": {
      "Port": {"type": "REG_DWORD", "data": 4369},
      "Key": {"type": "REG_BINARY", "data": "0A0b 0c"},
      "Dir": {"type": "REG_EXPAND_SZ", "data": "%HOME%"}}}}}}})");
  RegKey x;
  ASSERT_EQ(S_OK, root_.Open("software\\x", &x));
  uint32_t n;
  EXPECT_EQ(S_OK, x.QueryDword("port", &n));
  EXPECT_EQ(4369u, n);
  std::vector<uint8_t> b;
  EXPECT_EQ(S_OK, x.QueryBinary("key", &b));
  EXPECT_EQ((std::vector<uint8_t>{0x0A, 0x0B, 0x0C}), b);
}

// Each entry is a file a user might leave behind; each must be refused with a clear reason and
// left untouched by reads and writes.
TEST_F(SettingsRegistryTest, CorruptFilesAreRefusedAndNeverOverwritten) {
  std::string deep = "{}";
  for (int i = 0; i < 600; ++i) deep = R"({"keys": {"k": )" + deep + "}}";
  deep = R"({"format": "zelcommsrv-registry 1", "keys": {"k": )" + deep + "}}";
  const std::pair<std::string, std::string> cases[] = {
      {"", "parse error"},
      {"{\"format\": \"zelcommsrv-registry 1\", \"keys\": {\"A\": {}}", "parse error"},
      {"[1, 2, 3]", "not a registry file"},
      {R"({"keys": {}})", "not a registry file"},
      {R"({"format": "zelcommsrv-registry 1", "kyes": {}})", "unknown member \"kyes\""},
      {R"({"format": "zelcommsrv-registry 1", "keys": {"A": 5}})", "key \"A\": must be an object"},
      {R"({"format": "zelcommsrv-registry 1", "keys": {"A": {"values": {"V":
          {"type": "REG_QWORD", "data": 1}}}}})",
       "value \"V\": type must be"},
      {R"({"format": "zelcommsrv-registry 1", "values": {"V":
          {"type": "REG_DWORD", "data": 4294967296}}})",
       "from 0 to 4294967295"},
      {R"({"format": "zelcommsrv-registry 1", "values": {"V":
          {"type": "REG_DWORD", "data": -1}}})",
       "from 0 to 4294967295"},
      {R"({"format": "zelcommsrv-registry 1", "values": {"V":
          {"type": "REG_BINARY", "data": "abc"}}})",
       "hex bytes"},
      {R"({"format": "zelcommsrv-registry 1", "values": {"V": {"type": "REG_SZ"}}})",
       "expected {\"type\""},
      {R"({"format": "zelcommsrv-registry 1", "keys": {"Dup": {}, "DUP": {}}})", "appears twice"},
      {R"({"format": "zelcommsrv-registry 1", "keys": {"a\\b": {}}})", "holds a backslash"},
      {deep, "nest too deep"},
  };
  for (const auto& [text, why] : cases) {
    SCOPED_TRACE(text.substr(0, 80));
    WriteFile(text);
    std::string detail;
    EXPECT_EQ(E_REG_CORRUPT, ValidateRegistryFile(file_, &detail));
    EXPECT_NE(std::string::npos, detail.find(why)) << detail;
    RegKey k;
    std::string s;
    EXPECT_EQ(E_REG_CORRUPT, root_.Open("A", &k));
    EXPECT_EQ(E_REG_CORRUPT, root_.QueryString("V", &s));
    EXPECT_EQ(E_REG_CORRUPT, root_.Create("B", &k));
    EXPECT_EQ(E_REG_CORRUPT, root_.SetDword("V", 1));
    EXPECT_EQ(text, ReadFile());
  }
}

TEST_F(SettingsRegistryTest, RecoverMovesTheBadFileAside) {
  std::string dummy;
  EXPECT_EQ(S_FALSE, RecoverCorruptRegistry(file_, &dummy));  // no file: nothing to do
  MustCreate("Good");
  EXPECT_EQ(S_FALSE, RecoverCorruptRegistry(file_, &dummy));  // valid: nothing to do

  WriteFile("{ hand edited nonsense");
  std::string aside;
  ASSERT_EQ(S_OK, RecoverCorruptRegistry(file_, &aside));
  EXPECT_EQ(0u, aside.find(file_ + ".corrupt-"));
  {
    std::ifstream in(aside);
    std::string kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ("{ hand edited nonsense", kept);
  }
  // A second bad file in the same second gets its own name.
  WriteFile("also bad");
  std::string aside2;
  ASSERT_EQ(S_OK, RecoverCorruptRegistry(file_, &aside2));
  EXPECT_NE(aside, aside2);
  EXPECT_TRUE(std::filesystem::exists(aside));

  // The next change starts an empty registry.
  RegKey k;
  EXPECT_EQ(E_REG_NOT_FOUND, root_.Open("Good", &k));
  EXPECT_EQ(S_OK, root_.SetDword("Fresh", 1));
  EXPECT_EQ(S_OK, ValidateRegistryFile(file_, nullptr));
}

TEST_F(SettingsRegistryTest, AFailedWriteKeepsThePreviousFile) {
  ASSERT_EQ(S_OK, root_.SetDword("Kept", 1));
  const std::string before = ReadFile();
  SetReplaceFaultForTesting(ReplaceStep::kWrite, ENOSPC);
  EXPECT_EQ(HresultFromErrno(ENOSPC), root_.SetDword("Lost", 2));
  SetReplaceFaultForTesting(ReplaceStep::kNone, 0);
  EXPECT_EQ(before, ReadFile());
  uint32_t value = 0;
  EXPECT_EQ(E_REG_NOT_FOUND, root_.QueryDword("Lost", &value));
  EXPECT_EQ(S_OK, root_.SetDword("Lost", 2));
  EXPECT_EQ(S_OK, root_.QueryDword("Lost", &value));
  EXPECT_EQ(2u, value);
}

// Two writers changing different values at once: each change re-reads under the lock, so no
// change is lost. The child is a separate process, as a command-line tool would be.
TEST_F(SettingsRegistryTest, ConcurrentWritersLoseNothing) {
  constexpr int kEach = 40;
  MustCreate("Parent");
  MustCreate("Child");
  MustCreate("Thread");
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    RegKey k;
    int bad = 0;
    if (RegKey::Root(file_).Open("Child", &k) != S_OK) ::_exit(2);
    for (int i = 0; i < kEach; ++i) bad += k.SetDword("v" + std::to_string(i), i) != S_OK;
    ::_exit(bad == 0 ? 0 : 1);
  }
  std::thread other([&] {
    RegKey k;
    ASSERT_EQ(S_OK, root_.Open("Thread", &k));
    for (int i = 0; i < kEach; ++i) EXPECT_EQ(S_OK, k.SetString("v" + std::to_string(i), "t"));
  });
  RegKey mine;
  ASSERT_EQ(S_OK, root_.Open("Parent", &mine));
  for (int i = 0; i < kEach; ++i) {
    EXPECT_EQ(S_OK, mine.SetBinary("v" + std::to_string(i), {static_cast<uint8_t>(i)}));
    // Readers in between always see a whole, valid file.
    std::string name;
    EXPECT_EQ(S_OK, root_.EnumKey(0, 256, &name));
  }
  other.join();
  int status = 0;
  ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));

  for (const char* key : {"Parent", "Child", "Thread"}) {
    RegKey k;
    ASSERT_EQ(S_OK, root_.Open(key, &k));
    std::string name;
    uint32_t count = 0;
    while (k.EnumValue(count, 256, &name) == S_OK) ++count;
    EXPECT_EQ(static_cast<uint32_t>(kEach), count) << key;
  }
}

}  // namespace
}  // namespace zel
