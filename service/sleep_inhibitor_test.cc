// The power events: a suspend stops the server before the delay lock is given up, the resume
// starts it again before the lock is taken anew; nothing of the system bus is needed.
#include "service/sleep_inhibitor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace zel {
namespace {

TEST(SleepInhibitorTest, SuspendStopsThenReleasesResumeStartsThenRetakes) {
  std::string trace;
  SleepInhibitor* self = nullptr;
  SleepInhibitor inhibitor(
      [&] { trace += self->holds_lock() ? "stop(locked) " : "stop(unlocked) "; },
      [&] { trace += self->holds_lock() ? "start(locked) " : "start(unlocked) "; });
  self = &inhibitor;
  int takes = 0;
  inhibitor.SetTakeLockForTesting([&] {
    ++takes;
    trace += "take ";
    return ::dup(STDIN_FILENO);  // any descriptor stands for the lock
  });
  // As Start would have it: the lock is held while the machine is awake.
  inhibitor.OnPrepareForSleep(false);
  trace.clear();
  inhibitor.OnPrepareForSleep(true);
  EXPECT_FALSE(inhibitor.holds_lock());
  inhibitor.OnPrepareForSleep(false);
  EXPECT_TRUE(inhibitor.holds_lock());
  EXPECT_EQ("stop(locked) start(unlocked) take ", trace);
  EXPECT_EQ(2, takes);
  inhibitor.Stop();
  EXPECT_FALSE(inhibitor.holds_lock());
}

TEST(SleepInhibitorTest, NoLockToBeHadStillStopsAndStarts) {
  int stops = 0, starts = 0;
  SleepInhibitor inhibitor([&] { ++stops; }, [&] { ++starts; });
  inhibitor.SetTakeLockForTesting([] { return -1; });
  inhibitor.OnPrepareForSleep(true);
  inhibitor.OnPrepareForSleep(false);
  EXPECT_EQ(1, stops);
  EXPECT_EQ(1, starts);
  EXPECT_FALSE(inhibitor.holds_lock());
}

}  // namespace
}  // namespace zel
