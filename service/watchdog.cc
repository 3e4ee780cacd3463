#include "service/watchdog.h"

#include <systemd/sd-daemon.h>

namespace zel {

Watchdog::Watchdog(Millis period, Probe probe, KeepAlive keep_alive)
    : period_(period), probe_(std::move(probe)), keep_alive_(std::move(keep_alive)) {}

Watchdog::~Watchdog() { Stop(); }

void Watchdog::Start() {
  thread_ = std::thread([this] { Run(); });
}

void Watchdog::Stop() {
  {
    MutexLock g(&mu_);
    stop_ = true;
  }
  cv_.SignalAll();
  if (thread_.joinable()) thread_.join();
}

void Watchdog::Run() {
  const auto interval = Clock::Get()->Scaled(period_ / 2);
  MutexLock g(&mu_);
  while (!stop_) {
    g.Unlock();
    bool alive = probe_();
    g.Lock();
    if (stop_) break;
    if (alive) keep_alive_();
    auto deadline = std::chrono::steady_clock::now() + interval;
    while (!stop_ && cv_.WaitUntil(&mu_, deadline)) {
    }
  }
}

Millis Watchdog::PeriodFromEnvironment() {
  uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return Millis(0);
  return Millis(std::max<uint64_t>(1, usec / 1000));
}

bool ProgressCheck::Alive(uint64_t counter) {
  auto now = Clock::Get()->Now();
  if (!seen_ || counter != last_) {
    seen_ = true;
    last_ = counter;
    changed_at_ = now;
    return true;
  }
  return now - changed_at_ < Clock::Get()->Scaled(limit_);
}

}  // namespace zel
