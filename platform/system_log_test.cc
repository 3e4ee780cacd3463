#include "platform/system_log.h"

#include <syslog.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "gtest/gtest.h"
#include "platform/resource_library.h"

namespace zel {
namespace {

class SystemLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::shared_ptr<const ResourceLibrary> lib;
    ASSERT_EQ(S_OK, ResourceLibrary::Parse("[messages]\n"
                                           "0x00020064 = Started.\n"
                                           "0x40020001 = Note %1.\n"
                                           "0x80020002 = Careful: %1, again %1\n"
                                           "0xC0020067 = Resources missing: %1\n",
                                           &lib));
    InstallResources(lib);
  }
  void TearDown() override { InstallResources(nullptr); }
};

TEST_F(SystemLogTest, ReportsCarryPriorityTextAndFields) {
  ScopedSystemLogCapture capture;
  ReportEvent(MSG_SERVICE_STARTED, S_OK);
  ReportEvent(0x40020001, E_FAIL);
  ReportEvent(0x80020002, MakeHresult(0xC0030001));
  ReportEvent(MSG_RESOURCES_MISSING, MakeHresult(0x80070002), "/var/lib/zelcommsrv/x.txt");

  auto r = capture.reports();
  ASSERT_EQ(4u, r.size());
  EXPECT_EQ(MSG_SERVICE_STARTED, r[0].message_id);
  EXPECT_EQ(LOG_INFO, r[0].priority);
  EXPECT_EQ("Started.", r[0].message);

  EXPECT_EQ(LOG_INFO, r[1].priority);  // informational
  EXPECT_EQ("Note 0x80004005.", r[1].message);

  EXPECT_EQ(LOG_WARNING, r[2].priority);
  EXPECT_EQ("Careful: 0xC0030001, again 0xC0030001", r[2].message);

  EXPECT_EQ(LOG_ERR, r[3].priority);
  EXPECT_EQ(MakeHresult(0x80070002), r[3].code);
  EXPECT_EQ("Resources missing: 0x80070002 (/var/lib/zelcommsrv/x.txt)", r[3].message);
  EXPECT_EQ("/var/lib/zelcommsrv/x.txt", r[3].extra);
}

TEST_F(SystemLogTest, MissingTextStillNamesEventAndCode) {
  InstallResources(nullptr);  // the catalogue is what failed to load
  EXPECT_EQ("Unknown Error (event 0xC0020067): 0x80070002",
            FormatEventMessage(MSG_RESOURCES_MISSING, MakeHresult(0x80070002)));
  // An id the catalogue lacks, and an extra text holding "%1", which is not a placeholder.
  SetUp();
  EXPECT_EQ("Unknown Error (event 0xC0020066): 0x00000001 (100%1)",
            FormatEventMessage(MSG_SERVICE_FAILED, S_FALSE, "100%1"));
}

TEST_F(SystemLogTest, SeverityBits) {
  EXPECT_EQ(EventSeverity::kSuccess, SeverityOf(0x00020065));
  EXPECT_EQ(EventSeverity::kInformational, SeverityOf(0x7FFFFFFF));
  EXPECT_EQ(EventSeverity::kWarning, SeverityOf(0x80000000));
  EXPECT_EQ(EventSeverity::kError, SeverityOf(0xC0020066));
}

TEST_F(SystemLogTest, ReportsFromManyThreadsAllArrive) {
  ScopedSystemLogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 50; ++i) ReportEvent(MSG_SERVICE_STARTED, S_OK);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(200u, capture.reports().size());
}

TEST(SystemLogBackendTest, PrefersJournalThenSyslogThenStderr) {
  auto dir =
      std::filesystem::temp_directory_path() / ("zel_log_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  std::string journal = (dir / "journal").string();
  std::string syslog_path = (dir / "log").string();
  EXPECT_EQ(SystemLogBackend::kStderr, SelectSystemLogBackend(journal, syslog_path));
  std::ofstream(syslog_path) << "";
  EXPECT_EQ(SystemLogBackend::kSyslog, SelectSystemLogBackend(journal, syslog_path));
  std::ofstream(journal) << "";
  EXPECT_EQ(SystemLogBackend::kJournal, SelectSystemLogBackend(journal, syslog_path));
  std::filesystem::remove_all(dir);
}

// Without a sink the report reaches whichever backend this machine has; it must not fail or
// block, whether journald, syslog or only stderr is there.
TEST(SystemLogBackendTest, RealReportDoesNotFail) {
  SetSystemLogSinkForTesting(nullptr);
  ReportEvent(0x00020065, S_OK, "test run of the system log");
  SUCCEED();
}

}  // namespace
}  // namespace zel
