// LongDelayTimer: runs a callback once after a delay longer than one system timer can span.
//
// A single timer has a maximum period (kMaxTimerPeriod, the largest period the multimedia timers
// this design follows accept); a longer delay is covered by one-shot timers of that period in a
// row, then one final timer for the rest, which carries the caller's flags (one-shot or
// periodic). The daily setting of the controller's clock uses it with delays of up to 24 hours.
//
// Every wait goes through Clock (scaled in tests), and the callback runs on the timer's own
// thread, as a multimedia timer's callback runs on the system's timer thread.
//
// Thread contract: Start and Cancel may be called from any thread, including from inside the
// callback (a callback that restarts its timer is the normal case). mu_ guards every field; the
// callback is called without mu_ held. The destructor cancels and joins the thread; it must not
// run on the timer's own thread (the callback must not destroy its timer).
#pragma once

#include <cstdint>
#include <functional>
#include <thread>

#include "platform/clock.h"
#include "platform/status.h"
#include "platform/sync.h"

namespace zel {

class LongDelayTimer {
 public:
  enum class Mode { kOneShot, kPeriodic };
  using Callback = std::function<void()>;

  // The longest single timer: 1,000,000 ms, the multimedia timers' usual maximum period.
  static constexpr Millis kMaxTimerPeriod{1'000'000};

  LongDelayTimer() = default;
  ~LongDelayTimer();
  LongDelayTimer(const LongDelayTimer&) = delete;
  LongDelayTimer& operator=(const LongDelayTimer&) = delete;

  // Replaces any pending delay. A periodic final timer calls back every `final period` after
  // the first call until cancelled. E_OUTOFMEMORY when the timer thread cannot be started.
  HRESULT Start(Millis delay, Callback callback, Mode mode = Mode::kOneShot);
  // Kills a pending timer; a running callback finishes.
  void Cancel();

  // For tests: how many single timers have been set since construction, and whether one is set.
  uint64_t timers_set() const;
  bool pending() const;

 private:
  void Run();

  mutable Mutex mu_;
  CondVar cv_;
  std::thread thread_;  // started by the first Start
  bool stopping_ ZEL_GUARDED_BY(mu_) = false;
  uint64_t generation_ ZEL_GUARDED_BY(mu_) = 0;     // bumped by every Start and Cancel
  bool armed_ ZEL_GUARDED_BY(mu_) = false;          // a timer is set
  Millis remaining_ ZEL_GUARDED_BY(mu_){0};         // the delay not yet covered by timers
  Millis current_period_ ZEL_GUARDED_BY(mu_){0};    // the period of the timer that is set
  Mode mode_ ZEL_GUARDED_BY(mu_) = Mode::kOneShot;  // flags of the final timer
  Callback callback_ ZEL_GUARDED_BY(mu_);
  uint64_t timers_set_ ZEL_GUARDED_BY(mu_) = 0;
};

}  // namespace zel
