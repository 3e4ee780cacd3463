// Link health from the outcomes of exchanges: up, degraded, down after the down time on the
// injected clock, back up on the next good exchange; each change told once.
#include "link/link_health.h"

#include <gtest/gtest.h>

#include <vector>

namespace zel {
namespace {

class StepClock : public Clock {
 public:
  std::chrono::steady_clock::time_point Now() override { return now_; }
  std::time_t WallNow() override { return wall_; }
  void Advance(Millis d) {
    now_ += d;
    wall_ += d.count() / 1000;
  }

 private:
  std::chrono::steady_clock::time_point now_{std::chrono::hours(1)};
  std::time_t wall_ = 1700000000;
};

TEST(LinkHealthTest, UpDegradedDownAndBackWithOneEventPerChange) {
  StepClock clock;
  ScopedClock installed(&clock);
  LinkHealth health;
  std::vector<LinkState> told;
  health.SetListener([&](LinkState s) { told.push_back(s); });

  EXPECT_EQ(LinkState::kUp, health.Now().state);
  health.Record(true);
  EXPECT_EQ(1700000000, health.Now().last_good);
  clock.Advance(Millis(1000));
  health.Record(false);
  health.Record(false);
  LinkHealth::Snapshot s = health.Now();
  EXPECT_EQ(LinkState::kDegraded, s.state);
  EXPECT_EQ(2u, s.failures);
  EXPECT_EQ(1700000000, s.last_good);
  // Down counts from the last good exchange: 10 s after it, not after the first failure.
  clock.Advance(Millis(8999));
  EXPECT_EQ(LinkState::kDegraded, health.Now().state);
  clock.Advance(Millis(2));
  EXPECT_EQ(LinkState::kDown, health.Now().state);  // noticed by a reader, between exchanges
  health.Record(false);
  EXPECT_EQ(LinkState::kDown, health.Now().state);
  EXPECT_EQ(3u, health.Now().failures);
  health.Record(true);
  EXPECT_EQ(LinkState::kUp, health.Now().state);
  EXPECT_EQ(0u, health.Now().failures);
  EXPECT_EQ((std::vector<LinkState>{LinkState::kDegraded, LinkState::kDown, LinkState::kUp}), told);

  // A link that never answered is down the down time after its first failure.
  health.Reset();
  health.set_down_after(Millis(2000));
  health.Record(false);
  clock.Advance(Millis(2001));
  EXPECT_EQ(LinkState::kDown, health.Now().state);
  EXPECT_EQ(0, health.Now().last_good);
  EXPECT_EQ("down", LinkStateName(LinkState::kDown));
  EXPECT_EQ("degraded", LinkStateName(LinkState::kDegraded));
  EXPECT_EQ("up", LinkStateName(LinkState::kUp));
}

}  // namespace
}  // namespace zel
