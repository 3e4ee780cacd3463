// Clocks for tests: a monotonic clock the test moves by hand, and a scaled clock that records
// every wait it scales.
//
// Thread contract: free-threaded; RecordingClock's mu_ guards its record.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/sync.h"

namespace zel {

// Monotonic time stands still until Advance moves it; waits are scaled by the divisor.
class ManualClock : public ScaledClock {
 public:
  explicit ManualClock(int divisor = 1) : ScaledClock(divisor) {}
  std::chrono::steady_clock::time_point Now() override { return base_ + offset_.load(); }
  void Advance(Millis ms) { offset_ = offset_.load() + ms; }

 private:
  std::chrono::steady_clock::time_point base_ = std::chrono::steady_clock::now();
  std::atomic<Millis> offset_{Millis(0)};
};

// Records the production duration of every wait and pause it scales (and runs them `divisor`
// times faster), so a test asserts each time-out and pause exactly as the code asked for it.
class RecordingClock : public ScaledClock {
 public:
  explicit RecordingClock(int divisor = 1000) : ScaledClock(divisor) {}
  Millis Scaled(Millis production) override {
    {
      MutexLock g(&mu_);
      waits_.push_back(production.count());
    }
    return ScaledClock::Scaled(production);
  }
  std::vector<int64_t> waits() {
    MutexLock g(&mu_);
    return waits_;
  }
  void Clear() {
    MutexLock g(&mu_);
    waits_.clear();
  }
  // Waits (real time, at most 5 s) until at least n waits are recorded.
  bool WaitForCount(size_t n) {
    for (int i = 0; i < 5000; ++i) {
      if (waits().size() >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

 private:
  Mutex mu_;
  std::vector<int64_t> waits_ ZEL_GUARDED_BY(mu_);
};

// A RecordingClock whose monotonic time runs `divisor` times faster than real time, so that the
// time between two moments read on it is in production milliseconds: a test measures the spacing
// of requests on the wire against the intervals the code asked for.
class ProductionTimeClock : public RecordingClock {
 public:
  explicit ProductionTimeClock(int divisor) : RecordingClock(divisor), divisor_(divisor) {}
  std::chrono::steady_clock::time_point Now() override {
    return start_ + (std::chrono::steady_clock::now() - start_) * divisor_;
  }

 private:
  const int divisor_;
  const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

}  // namespace zel
