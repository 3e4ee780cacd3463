// Watchdog: the keep-alives systemd expects from a service with WatchdogSec=. A thread of its own
// asks a probe, at half the watchdog period, whether the server is alive, and sends a keep-alive
// only when it is. A probe that says no, or that never returns, lets the period run out and
// systemd restarts the service.
//
// Thread contract: Start and Stop from the owner's thread; the probe and the keep-alive are
// called on the watchdog's thread only. mu_ guards stop_.
#pragma once

#include <functional>
#include <thread>

#include "platform/clock.h"
#include "platform/sync.h"

namespace zel {

class Watchdog {
 public:
  using Probe = std::function<bool()>;
  using KeepAlive = std::function<void()>;

  // `period` is the watchdog's time-out (a production duration).
  Watchdog(Millis period, Probe probe, KeepAlive keep_alive);
  ~Watchdog();  // Stop()
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  void Start();
  // Ends the thread; no keep-alive is sent after it returns. Idempotent.
  void Stop();

  // The watchdog period systemd asks for (WATCHDOG_USEC, for this process), 0 when none.
  static Millis PeriodFromEnvironment();

 private:
  void Run();

  const Millis period_;
  Probe probe_;
  KeepAlive keep_alive_;
  Mutex mu_;
  CondVar cv_;
  bool stop_ ZEL_GUARDED_BY(mu_) = false;
  std::thread thread_;
};

// Tells a probe whether a counter that a healthy thread advances has moved recently: alive while
// it changed within `limit` (on the clock's monotonic time) of the last look that saw it change.
//
// Thread contract: used by one thread (the watchdog's); the counter may be read from any.
class ProgressCheck {
 public:
  explicit ProgressCheck(Millis limit) : limit_(limit) {}
  bool Alive(uint64_t counter);

 private:
  Millis limit_;
  bool seen_ = false;
  uint64_t last_ = 0;
  std::chrono::steady_clock::time_point changed_at_;
};

}  // namespace zel
