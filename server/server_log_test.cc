// SRVRLOG.XML: the exact bytes of entries and of the file around them, a cleared log, the
// location rule, rotation at the size limit, a damaged file set aside, and a writer killed in the
// middle of an entry, after which the log still parses.
#include "server/server_log.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/clock.h"
#include "platform/resource_library.h"
#include "platform/settings_registry.h"
#include "server/server_log_hook.h"
#include "server/server_test_fixture.h"
#include "testing/temp_dir.h"
#include "testing/xml_check.h"

namespace zel {
namespace {

constexpr std::string_view kKey = "SOFTWARE\\Tamsen\\Portico";

// Wall time stands at a fixed local time.
class FixedWallClock : public Clock {
 public:
  std::time_t WallNow() override { return wall; }
  std::time_t wall = 0;
};

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ServerLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::shared_ptr<const ResourceLibrary> lib;
    ASSERT_EQ(S_OK, ResourceLibrary::Parse("[strings]\n"
                                           "242 = SOFTWARE\\Tamsen\\Portico\n"
                                           "[messages]\n"
                                           "0x00000000 = The operation completed successfully.\n"
                                           "0x80004005 = Unspecified error <&>.\n",
                                           &lib));
    InstallResources(lib);
    clock_.wall = LocalTime(2026, 12, 6, 9, 5, 7);
  }
  void TearDown() override { InstallResources(nullptr); }

  std::string LogText() { return Read(dir_.File("SRVRLOG.XML")); }
  std::string Entry(std::string_view description, HRESULT hr = S_OK) {
    return FormatServerLogEntry("ZelCommSrv", "Server", description, hr, clock_.wall);
  }

  TempInstanceDir dir_{"srvrlog"};
  FixedWallClock clock_;
  ScopedClock use_{&clock_};
};

TEST_F(ServerLogTest, EntryBytes) {
  EXPECT_EQ(
      "<LOGENTRY COMPONENT=\"Zel&#38;Comm\" FEATURE=\"&#60;F&#62;\"><DATETIME>Sun Dec 06 09:05:07 "
      "2026</DATETIME><DESCRIPTION>a&#34;b&#39;c</DESCRIPTION><RESULT>Unspecified error "
      "&#60;&#38;&#62;.</RESULT><HRESULT>0x80004005</HRESULT></LOGENTRY>",
      FormatServerLogEntry("Zel&Comm", "<F>", "a\"b'c", E_FAIL, clock_.wall));
  // A code without a message text.
  EXPECT_NE(std::string::npos,
            FormatServerLogEntry("c", "f", "d", 0x12345678, clock_.wall)
                .find("<RESULT>Unknown Error</RESULT><HRESULT>0x12345678</HRESULT>"));
}

TEST_F(ServerLogTest, EntriesReplaceTheClosingTag) {
  ASSERT_EQ(S_OK, WriteServerLogEntry("ZelCommSrv", "Server", "Portico Service Started.", S_OK));
  EXPECT_EQ("<SERVERLOG>" + Entry("Portico Service Started.") + "\r\n</SERVERLOG>", LogText());
  clock_.wall += 61;
  ASSERT_EQ(S_OK,
            WriteServerLogEntry("ZelCommSrv", "Server", "Failed to set controller time", E_FAIL));
  std::string second = Entry("Failed to set controller time", E_FAIL);
  clock_.wall -= 61;
  EXPECT_EQ(
      "<SERVERLOG>" + Entry("Portico Service Started.") + "\r\n" + second + "\r\n</SERVERLOG>",
      LogText());
  XmlNode root;
  std::string error;
  ASSERT_TRUE(ParseXml(LogText(), &root, &error)) << error;
  ASSERT_EQ(2u, root.children.size());
  EXPECT_EQ("Failed to set controller time", root.children[1].Child("DESCRIPTION")->text);
  EXPECT_EQ("0x80004005", root.children[1].Child("HRESULT")->text);
}

TEST_F(ServerLogTest, ClearedLogTakesItsFirstEntryWithoutALineBreak) {
  ASSERT_EQ(S_OK, WriteServerLogEntry("ZelCommSrv", "Server", "before", S_OK));
  ASSERT_EQ(S_OK, ClearServerLogFile());
  EXPECT_EQ("<SERVERLOG>\r\n</SERVERLOG>", LogText());
  EXPECT_EQ(25u, LogText().size());
  ASSERT_EQ(S_OK, WriteServerLogEntry("ZelCommSrv", "Server", "after", S_OK));
  EXPECT_EQ("<SERVERLOG>" + Entry("after") + "\r\n</SERVERLOG>", LogText());
}

TEST_F(ServerLogTest, InstallPathDecidesWhereTheLogIs) {
  EXPECT_EQ(dir_.File("SRVRLOG.XML"), ServerLogPath());  // no key: the instance directory
  TempDir other("installpath");
  RegKey key;
  ASSERT_EQ(S_OK, RegKey::LocalMachine().Create(kKey, &key));
  EXPECT_EQ(dir_.File("SRVRLOG.XML"), ServerLogPath());  // a key without the value
  ::setenv("ZEL_TEST_LOG_DIR", other.path().c_str(), 1);
  ASSERT_EQ(S_OK, key.SetString("InstallPath", "%ZEL_TEST_LOG_DIR%/", REG_EXPAND_SZ));
  EXPECT_EQ(other.File("SRVRLOG.XML"), ServerLogPath());
  ASSERT_EQ(S_OK, WriteServerLogEntry("ZelCommSrv", "Server", "there", S_OK));
  EXPECT_TRUE(std::filesystem::exists(other.File("SRVRLOG.XML")));
  EXPECT_FALSE(std::filesystem::exists(dir_.File("SRVRLOG.XML")));
  // A value of another type is not a folder.
  ASSERT_EQ(S_OK, key.SetDword("InstallPath", 5));
  EXPECT_EQ(dir_.File("SRVRLOG.XML"), ServerLogPath());
  ::unsetenv("ZEL_TEST_LOG_DIR");
}

TEST_F(ServerLogTest, PassingTheLimitStartsANewLogAndKeepsOneOld) {
  RegKey key;
  ASSERT_EQ(S_OK, RegKey::LocalMachine().Create(kKey, &key));
  const size_t entry = Entry("entry 0").size();
  // Room for three entries.
  ASSERT_EQ(S_OK, key.SetDword("ServerLogLimit", static_cast<uint32_t>(11 + 3 * (entry + 2) + 12)));
  for (int i = 0; i < 7; ++i) {
    ASSERT_EQ(S_OK, WriteServerLogEntry("ZelCommSrv", "Server", "entry " + std::to_string(i), 0));
  }
  // 0 1 2 went to the first file, 3 4 5 to the second (now SRVRLOG.1.XML), 6 to the current.
  EXPECT_EQ("<SERVERLOG>" + Entry("entry 6") + "\r\n</SERVERLOG>", LogText());
  std::string old = Read(dir_.File("SRVRLOG.1.XML"));
  EXPECT_EQ("<SERVERLOG>" + Entry("entry 3") + "\r\n" + Entry("entry 4") + "\r\n" +
                Entry("entry 5") + "\r\n</SERVERLOG>",
            old);
  // Without the value: 1 MiB.
  ASSERT_EQ(S_OK, key.DeleteValue("ServerLogLimit"));
  for (int i = 0; i < 10; ++i) ASSERT_EQ(S_OK, WriteServerLogEntry("c", "f", "more", 0));
  EXPECT_EQ(old, Read(dir_.File("SRVRLOG.1.XML")));
}

TEST_F(ServerLogTest, ADamagedLogIsSetAsideAndANewOneStarted) {
  {
    std::ofstream out(dir_.File("SRVRLOG.XML"), std::ios::binary);
    out << "<SERVERLOG><LOGENTRY COMPONENT=\"x";  // cut off by someone else
  }
  ASSERT_EQ(S_OK, WriteServerLogEntry("ZelCommSrv", "Server", "fresh", S_OK));
  EXPECT_EQ("<SERVERLOG>" + Entry("fresh") + "\r\n</SERVERLOG>", LogText());
  int aside = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
    if (e.path().filename().string().starts_with("SRVRLOG.XML.corrupt-")) ++aside;
  }
  EXPECT_EQ(1, aside);
}

TEST_F(ServerLogTest, AnyTextStaysWellFormedAndReadsBack) {
  const std::string texts[] = {"A&B <C> \"D\" 'E'",
                               "K\xC3\xBC"
                               "che",
                               std::string("nul\0byte", 8),
                               "bell\x07",
                               "bad \xFF\xFE utf-8",
                               std::string(5000, 'x')};
  const std::string expected[] = {"A&B <C> \"D\" 'E'",
                                  "K\xC3\xBC"
                                  "che",
                                  "nul?byte",
                                  "bell?",
                                  "bad ?? utf-8",
                                  std::string(5000, 'x')};
  for (const std::string& t : texts) ASSERT_EQ(S_OK, WriteServerLogEntry(t, t, t, E_FAIL));
  XmlNode root;
  std::string error;
  ASSERT_TRUE(ParseXml(LogText(), &root, &error)) << error;
  ASSERT_EQ(std::size(texts), root.children.size());
  for (size_t i = 0; i < std::size(texts); ++i) {
    EXPECT_EQ(expected[i], root.children[i].Child("DESCRIPTION")->text) << i;
  }
}

TEST_F(ServerLogTest, ConcurrentWritersLoseNoEntry) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 25; ++i) {
        (void)WriteServerLogEntry("c", "f", std::to_string(t) + "/" + std::to_string(i), 0);
      }
    });
  }
  for (auto& th : threads) th.join();
  XmlNode root;
  std::string error;
  ASSERT_TRUE(ParseXml(LogText(), &root, &error)) << error;
  EXPECT_EQ(100u, root.children.size());
}

TEST_F(ServerLogTest, AWriterKilledMidEntryLeavesALogThatParses) {
  ASSERT_EQ(S_OK, WriteServerLogEntry("c", "f", "first", 0));
  for (int round = 0; round < 12; ++round) {
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      // Long entries, so a kill often lands inside one.
      std::string text(20000, 'a' + round);
      for (;;) (void)WriteServerLogEntry("c", "f", text, 0);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(700 + 450 * round));
    ASSERT_EQ(0, kill(child, SIGKILL));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    XmlNode root;
    std::string error;
    ASSERT_TRUE(ParseXml(LogText(), &root, &error)) << "round " << round << ": " << error;
    EXPECT_EQ("first", root.children.at(0).Child("DESCRIPTION")->text);
  }
  // The next entry after a kill goes in as usual (the writer's temporary file is cleaned up).
  ASSERT_EQ(S_OK, WriteServerLogEntry("c", "f", "last", 0));
  XmlNode root;
  std::string error;
  ASSERT_TRUE(ParseXml(LogText(), &root, &error)) << error;
  EXPECT_EQ("last", root.children.back().Child("DESCRIPTION")->text);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("SRVRLOG.XML.tmp")));
}

TEST_F(ServerLogTest, InstalledAsTheServerLogWriter) {
  InstallServerLogFile();
  WriteServerLog("ZelCommSrv", "Server", "Failed to set controller time", E_FAIL);
  SetServerLogWriter(nullptr);
  EXPECT_EQ("<SERVERLOG>" + Entry("Failed to set controller time", E_FAIL) + "\r\n</SERVERLOG>",
            LogText());
}

}  // namespace
}  // namespace zel
