#include "server/controller_time.h"

#include <gtest/gtest.h>

#include "link/frame.h"
#include "server/server_log_hook.h"
#include "server/server_test_fixture.h"

namespace zel {
namespace {

std::tm LocalTm(std::time_t t) {
  std::tm out{};
  localtime_r(&t, &out);
  return out;
}

TEST(SetTimeFrameTest, LayoutAndCrc) {
  std::tm t = LocalTm(LocalTime(2026, 12, 6, 14, 5, 59));  // a Sunday
  auto frame = BuildSetTimeFrame(t);
  ASSERT_EQ(12u, frame.size());
  EXPECT_EQ(0x5A, frame[0]);
  EXPECT_EQ(0x08, frame[1]);
  EXPECT_EQ(0x10, frame[2]);
  EXPECT_EQ(26, frame[3]);
  EXPECT_EQ(12, frame[4]);
  EXPECT_EQ(6, frame[5]);
  EXPECT_EQ(7, frame[6]);  // Sunday is 7
  EXPECT_EQ(14, frame[7]);
  EXPECT_EQ(5, frame[8]);
  EXPECT_EQ(t.tm_isdst > 0 ? 1 : 0, frame[9]);
  EXPECT_TRUE(FrameCrcMatches(frame.data()));
  t = LocalTm(LocalTime(2026, 12, 7, 0, 0, 0));  // Monday
  EXPECT_EQ(1, BuildSetTimeFrame(t)[6]);
}

TEST(SetTimeFrameTest, DelayToMidnight) {
  EXPECT_EQ(Millis(30'000), DelayToMidnight(LocalTm(LocalTime(2026, 3, 1, 23, 59, 30))));
  EXPECT_EQ(Millis(24 * 3600 * 1000), DelayToMidnight(LocalTm(LocalTime(2026, 3, 1, 0, 0, 0))));
  EXPECT_EQ(Millis((10 * 3600 + 1) * 1000),
            DelayToMidnight(LocalTm(LocalTime(2026, 3, 1, 13, 59, 59))));
}

class ControllerTimeTest : public ServerTest {};

TEST_F(ControllerTimeTest, SetsTheClockAndSchedulesMidnight) {
  FakeLink* t = UseFake();
  clock_.SetWallTime(LocalTime(2026, 5, 4, 23, 59, 30));
  ASSERT_EQ(S_OK, server_->SetControllerTimeNow());
  std::vector<Bytes> frames = t->frames();
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(0x10, frames[0][2]);
  EXPECT_EQ(23, frames[0][7]);
  EXPECT_EQ(59, frames[0][8]);
  EXPECT_TRUE(t->sent()[0].depth > 0);  // an atomic request
  LongDelayTimer* timer = server_->long_delay_timer();
  ASSERT_NE(nullptr, timer);
  EXPECT_TRUE(timer->pending());
  EXPECT_EQ(1u, timer->timers_set());  // 30 s fit in one timer
}

TEST_F(ControllerTimeTest, MidnightSettingRunsAgainAndRearms) {
  ManualClock fast(100'000);  // 30 production seconds are 0.3 ms
  Clock::SetForTesting(&fast);
  FakeLink* t = UseFake();
  fast.SetWallTime(LocalTime(2026, 5, 4, 23, 59, 30));
  ASSERT_EQ(S_OK, server_->SetControllerTimeNow());
  // The timer fires on its own thread and sets the clock again.
  for (int i = 0; i < 2000 && t->frames().size() < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_GE(t->frames().size(), 2u);
  EXPECT_EQ(0x10, t->frames()[1][2]);
  EXPECT_TRUE(server_->long_delay_timer()->pending());  // armed for the next midnight
  server_.reset();                                      // stops the timer before the clock goes
  Clock::SetForTesting(&clock_);
}

TEST_F(ControllerTimeTest, FailureIsLoggedReturnedAndStillScheduled) {
  FakeLink* t = UseFake();
  t->QueueFailure(E_COMM_TIMEOUT);
  std::vector<std::string> log;
  SetServerLogWriter([&](std::string_view component, std::string_view feature,
                         std::string_view description, HRESULT code) {
    log.push_back(std::string(component) + "/" + std::string(feature) + "/" +
                  std::string(description) + "/" + StatusHex(code));
  });
  EXPECT_EQ(E_COMM_TIMEOUT, server_->SetControllerTimeNow());
  SetServerLogWriter(nullptr);
  ASSERT_EQ(1u, log.size());
  EXPECT_EQ("ZelCommSrv/Server/Failed to set controller time/0xC0030008", log[0]);
  EXPECT_TRUE(server_->long_delay_timer()->pending());
}

}  // namespace
}  // namespace zel
