// The daemon's guarantees at its edges: stop ends even while the link's request lock is held for
// good, and the files that hold secrets never stay open to other users.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "bridge/security_log.h"
#include "platform/settings_registry.h"
#include "platform/storage.h"
#include "platform/system_log.h"
#include "server/server_test_fixture.h"
#include "service/daemon.h"
#include "service/file_modes.h"

namespace zel {
namespace {

class StopUnderHeldLockTest : public ServerTest {};

TEST_F(StopUnderHeldLockTest, StopEndsWithinItsLimitWhileTheRequestLockIsNeverGivenBack) {
  FakeLink* fake = UseFake();
  // Production 30 s is 30 ms here.
  ScaledClock fast(1000);
  ScopedClock installed(&fast);
  ScopedSystemLogCapture log;

  // A thread inside the process takes the request lock and keeps it until the test ends.
  std::mutex mu;
  std::condition_variable cv;
  bool taken = false, release = false;
  std::thread holder([&] {
    fake->BeginAtomicRequest();
    {
      std::unique_lock<std::mutex> g(mu);
      taken = true;
      cv.notify_all();
      cv.wait(g, [&] { return release; });
    }
    fake->EndAtomicRequest();
  });
  {
    std::unique_lock<std::mutex> g(mu);
    cv.wait(g, [&] { return taken; });
  }

  ComPtr<CZelServer> server = server_;
  std::atomic<bool> finished{false};
  auto started = std::chrono::steady_clock::now();
  {
    StopRunner runner([server, &finished] {
      (void)server->Stop();
      finished = true;
    });
    EXPECT_FALSE(runner.WaitFor(kStopLimit));
    auto waited = std::chrono::steady_clock::now() - started;
    // 30 ms for the production 30 s, give or take the scheduler.
    EXPECT_GE(waited, std::chrono::milliseconds(29));
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
    EXPECT_FALSE(finished);
  }  // the runner's thread is left behind, as the daemon would leave it

  // Once the lock comes back the stop completes (the test must not leave it running).
  {
    std::lock_guard<std::mutex> g(mu);
    release = true;
  }
  cv.notify_all();
  holder.join();
  for (int i = 0; i < 500 && !finished; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(finished);

  // A stop that finishes in time is simply waited for.
  StopRunner quick([] {});
  EXPECT_TRUE(quick.WaitFor(kStopLimit));
}

class TempDir {
 public:
  TempDir() {
    char t[] = "/tmp/zel-modes-XXXXXX";
    path_ = mkdtemp(t);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(PrivateFilesTest, WiderModesAreTightenedAndLogged) {
  TempDir dir;
  struct Case {
    const char* name;
    mode_t mode;
    mode_t want;
  };
  const Case kCases[] = {
      {"ZELINFO.DAT", 0644, 0600},        {"ZELINFO.DAT.lock", 0666, 0600},
      {"registry.json", 0640, 0640},  // the service's group may read
      {"registry.json.lock", 0600, 0600}, {"access.json", 0660, 0600},  // group write: no
      {"tokens.json", 0604, 0600},        {"SRVRLOG.XML", 0644, 0644},  // not a private file
  };
  for (const Case& c : kCases) {
    std::string path = dir.path() + "/" + c.name;
    std::ofstream(path) << "x";
    ASSERT_EQ(0, chmod(path.c_str(), c.mode));
  }
  ScopedSystemLogCapture log;
  std::vector<std::string> changed = TightenPrivateFiles(dir.path());
  for (const Case& c : kCases) {
    EXPECT_EQ(c.want, ModeOf(dir.path() + "/" + c.name)) << c.name;
  }
  EXPECT_EQ(4u, changed.size());
  std::vector<SystemLogReport> reports = log.reports();
  ASSERT_EQ(4u, reports.size());
  EXPECT_EQ(MSG_FILE_MODE_TIGHTENED, reports[0].message_id);
  EXPECT_NE(std::string::npos, reports[0].extra.find("ZELINFO.DAT: 0644 -> 0600"));
  // A second start finds nothing to do.
  EXPECT_TRUE(TightenPrivateFiles(dir.path()).empty());
}

TEST(PrivateFilesTest, TheStoreAndTheRegistryAreCreatedPrivate) {
  TempDir dir;
  ComPtr<IStorage> store;
  ASSERT_EQ(S_OK, OpenCompoundFile(dir.path() + "/ZELINFO.DAT", StorageOpenMode::kCreate,
                                   store.Receive()));
  RegKey root = RegKey::Root(dir.path() + "/registry.json");
  RegKey key;
  ASSERT_EQ(S_OK, root.Create("SOFTWARE\\Test", &key));
  for (const char* name :
       {"ZELINFO.DAT", "ZELINFO.DAT.lock", "registry.json", "registry.json.lock"}) {
    EXPECT_EQ(0600u, ModeOf(dir.path() + "/" + name)) << name;
  }
}

}  // namespace
}  // namespace zel
