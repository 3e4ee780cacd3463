// The time seam: every wait, pause and time-out of the server goes through Clock, so tests can
// run the long production waits (3 s reads, 1 s and 5 s pauses, 30 s joins, midnight timers) in
// milliseconds. Production uses the real clock with scale 1: the stated values stay exact.
//
// Durations passed in are production durations; Clock::Scaled turns them into the real duration
// to wait. Wall-clock time (the controller's clock setting, dates) comes from WallNow, which a
// test can pin to a given local time.
//
// Thread contract: Clock::Get() may be called from any thread. SetForTesting must be called while
// no other thread uses the clock (test set-up and tear-down).
#pragma once

#include <chrono>
#include <ctime>
#include <memory>

namespace zel {

using Millis = std::chrono::milliseconds;

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic time.
  virtual std::chrono::steady_clock::time_point Now() { return std::chrono::steady_clock::now(); }
  // Wall-clock time (seconds since the epoch).
  virtual std::time_t WallNow() { return std::time(nullptr); }
  // The real duration that stands for a production duration.
  virtual Millis Scaled(Millis production) { return production; }
  // Sleeps for a production duration (scaled).
  void SleepFor(Millis production);

  static Clock* Get();
  // Installs a clock (null restores the real one). The caller keeps ownership.
  static void SetForTesting(Clock* clock);
};

// A clock that runs every production duration `divisor` times faster (at least 1 ms each, so a
// wait stays a wait), with an optional fixed or offset wall clock.
class ScaledClock : public Clock {
 public:
  explicit ScaledClock(int divisor) : divisor_(divisor) {}
  Millis Scaled(Millis production) override;
  std::time_t WallNow() override;
  // Pins the wall clock to t; it then advances with real time.
  void SetWallTime(std::time_t t);

 private:
  int divisor_;
  bool pinned_ = false;
  std::time_t pinned_wall_ = 0;
  std::chrono::steady_clock::time_point pinned_at_;
};

// Installs a clock for a scope (tests).
class ScopedClock {
 public:
  explicit ScopedClock(Clock* clock) { Clock::SetForTesting(clock); }
  ~ScopedClock() { Clock::SetForTesting(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};

}  // namespace zel
