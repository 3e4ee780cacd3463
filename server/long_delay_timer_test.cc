#include "server/long_delay_timer.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/sync.h"

namespace zel {
namespace {

// One production hour is 3.6 ms of real time: a 24-hour delay runs in well under a second.
constexpr int kDivisor = 1'000'000;

class LongDelayTimerTest : public ::testing::Test {
 protected:
  void SetUp() override { Clock::SetForTesting(&clock_); }
  void TearDown() override { Clock::SetForTesting(nullptr); }
  ScaledClock clock_{kDivisor};
};

TEST_F(LongDelayTimerTest, DayLongDelayFiresOnceAfterSteppingThroughMaximumPeriods) {
  LongDelayTimer timer;
  std::atomic<int> calls{0};
  ManualResetEvent fired;
  ASSERT_EQ(S_OK, timer.Start(Millis(24 * 3600 * 1000), [&] {
    ++calls;
    fired.Set();
  }));
  ASSERT_TRUE(fired.WaitFor(Millis(60'000'000'000)));  // 60 s real at most
  // 86 timers of the maximum period and one of the remaining 400 s.
  EXPECT_EQ(87u, timer.timers_set());
  EXPECT_FALSE(timer.pending());
  // It does not fire again.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(1, calls.load());
}

TEST_F(LongDelayTimerTest, CallbackRestartsItsOwnTimer) {
  LongDelayTimer timer;
  std::atomic<int> calls{0};
  ManualResetEvent third;
  std::function<void()> again = [&] {
    if (++calls == 3) {
      third.Set();
      return;
    }
    (void)timer.Start(Millis(3 * 3600 * 1000), again);
  };
  ASSERT_EQ(S_OK, timer.Start(Millis(3 * 3600 * 1000), again));
  ASSERT_TRUE(third.WaitFor(Millis(60'000'000'000)));
  EXPECT_EQ(3, calls.load());
  EXPECT_EQ(3u * 11u, timer.timers_set());  // 10 800 s = 10 maximum periods + 800 s, each time
}

TEST_F(LongDelayTimerTest, RestartReplacesAndCancelKills) {
  LongDelayTimer timer;
  std::atomic<int> first{0};
  std::atomic<int> second{0};
  ManualResetEvent fired;
  // A week away: replaced before it could fire.
  ASSERT_EQ(S_OK, timer.Start(Millis(7LL * 24 * 3600 * 1000), [&] { ++first; }));
  ASSERT_EQ(S_OK, timer.Start(Millis(60'000), [&] {
    ++second;
    fired.Set();
  }));
  ASSERT_TRUE(fired.WaitFor(Millis(60'000'000'000)));
  EXPECT_EQ(0, first.load());
  EXPECT_EQ(1, second.load());

  ASSERT_EQ(S_OK, timer.Start(Millis(3600 * 1000), [&] { ++first; }));
  timer.Cancel();
  EXPECT_FALSE(timer.pending());
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(0, first.load());
}

TEST_F(LongDelayTimerTest, PeriodicFinalTimerKeepsFiring) {
  LongDelayTimer timer;
  std::atomic<int> calls{0};
  ManualResetEvent three;
  ASSERT_EQ(S_OK, timer.Start(
                      Millis(3600 * 1000),
                      [&] {
                        if (++calls == 3) three.Set();
                      },
                      LongDelayTimer::Mode::kPeriodic));
  ASSERT_TRUE(three.WaitFor(Millis(60'000'000'000)));
  EXPECT_TRUE(timer.pending());
  timer.Cancel();
}

}  // namespace
}  // namespace zel
