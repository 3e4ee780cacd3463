#include "server/long_delay_timer.h"

#include <system_error>
#include <utility>

#include "platform/sync.h"

namespace zel {

LongDelayTimer::~LongDelayTimer() {
  {
    MutexLock g(&mu_);
    stopping_ = true;
    armed_ = false;
  }
  cv_.SignalAll();
  if (thread_.joinable()) thread_.join();
}

HRESULT LongDelayTimer::Start(Millis delay, Callback callback, Mode mode) {
  Callback call_now;
  {
    MutexLock g(&mu_);
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread([this] { Run(); });
      } catch (const std::system_error&) {
        return E_OUTOFMEMORY;
      }
    }
    ++generation_;
    armed_ = false;  // a pending timer is killed
    callback_ = std::move(callback);
    mode_ = mode;
    remaining_ = delay.count() > 0 ? delay : Millis(0);
    if (remaining_.count() == 0) {
      // Nothing to wait for: the callback runs at once, on the caller's thread.
      call_now = callback_;
    } else {
      // The first step: a single timer for the whole delay if it fits, else one of the
      // maximum period.
      current_period_ = remaining_ <= kMaxTimerPeriod ? remaining_ : kMaxTimerPeriod;
      remaining_ -= current_period_;
      armed_ = true;
      ++timers_set_;
    }
  }
  cv_.SignalAll();
  if (call_now) call_now();
  return S_OK;
}

void LongDelayTimer::Cancel() {
  {
    MutexLock g(&mu_);
    ++generation_;
    armed_ = false;
    remaining_ = Millis(0);
  }
  cv_.SignalAll();
}

uint64_t LongDelayTimer::timers_set() const {
  MutexLock g(&mu_);
  return timers_set_;
}

bool LongDelayTimer::pending() const {
  MutexLock g(&mu_);
  return armed_;
}

void LongDelayTimer::Run() {
  MutexLock lock(&mu_);
  while (!stopping_) {
    if (!armed_) {
      cv_.Wait(&mu_);
      continue;
    }
    uint64_t generation = generation_;
    auto deadline = std::chrono::steady_clock::now() + Clock::Get()->Scaled(current_period_);
    while (!stopping_ && generation_ == generation && cv_.WaitUntil(&mu_, deadline)) {
    }
    if (stopping_ || generation_ != generation) continue;  // stopped, cancelled or restarted

    // The timer expired: step.
    if (remaining_.count() > 0) {
      // Kill the expired one-shot timer and set the next one.
      current_period_ = remaining_ <= kMaxTimerPeriod ? remaining_ : kMaxTimerPeriod;
      remaining_ -= current_period_;
      ++timers_set_;
      continue;
    }
    // The final timer expired: a one-shot one is gone, a periodic one stays set.
    if (mode_ == Mode::kOneShot) armed_ = false;
    Callback callback = callback_;
    lock.Unlock();
    if (callback) callback();
    lock.Lock();
  }
}

}  // namespace zel
