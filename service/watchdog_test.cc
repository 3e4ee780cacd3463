// The service watchdog: keep-alives only while the probe vouches for the server, none after
// Stop; the bridge's progress check gives up on a counter that stands still.
#include "service/watchdog.h"

#include <gtest/gtest.h>

#include <atomic>

#include "testing/test_clocks.h"

namespace zel {
namespace {

TEST(WatchdogTest, KeepAlivesFollowTheProbe) {
  std::atomic<bool> alive{true};
  std::atomic<int> probes{0}, keep_alives{0};
  Watchdog dog(
      Millis(10),
      [&] {
        ++probes;
        return alive.load();
      },
      [&] { ++keep_alives; });
  dog.Start();
  while (keep_alives < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  // A server that stops answering gets no more keep-alives, however long the probe is asked.
  alive = false;
  int before = keep_alives;
  int asked = probes;
  while (probes < asked + 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_LE(keep_alives, before + 1);  // at most the one in flight when the probe changed
  alive = true;
  int again = keep_alives;
  while (keep_alives < again + 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  dog.Stop();
  int after_stop = keep_alives;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(after_stop, keep_alives);
}

TEST(WatchdogTest, StopDoesNotWaitForTheNextPeriod) {
  Watchdog dog(
      Millis(3600000), [] { return true; }, [] {});
  dog.Start();
  auto t0 = std::chrono::steady_clock::now();
  dog.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
}

TEST(WatchdogTest, ProgressCheckGivesUpOnACounterThatStandsStill) {
  ManualClock clock;
  ScopedClock installed(&clock);
  ProgressCheck check(Millis(10000));
  EXPECT_TRUE(check.Alive(5));
  clock.Advance(Millis(9900));
  EXPECT_TRUE(check.Alive(5));  // unchanged, but within the limit
  clock.Advance(Millis(100));
  EXPECT_FALSE(check.Alive(5));
  EXPECT_TRUE(check.Alive(6));  // moving again
}

}  // namespace
}  // namespace zel
