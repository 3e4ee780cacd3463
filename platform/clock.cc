#include "platform/clock.h"

#include <atomic>
#include <thread>

namespace zel {
namespace {
Clock g_real_clock;
std::atomic<Clock*> g_clock{&g_real_clock};
}  // namespace

Clock* Clock::Get() { return g_clock.load(std::memory_order_acquire); }

void Clock::SetForTesting(Clock* clock) {
  g_clock.store(clock ? clock : &g_real_clock, std::memory_order_release);
}

void Clock::SleepFor(Millis production) { std::this_thread::sleep_for(Scaled(production)); }

Millis ScaledClock::Scaled(Millis production) {
  if (production.count() <= 0) return Millis(0);
  Millis scaled = production / divisor_;
  return scaled.count() < 1 ? Millis(1) : scaled;
}

void ScaledClock::SetWallTime(std::time_t t) {
  pinned_ = true;
  pinned_wall_ = t;
  pinned_at_ = std::chrono::steady_clock::now();
}

std::time_t ScaledClock::WallNow() {
  if (!pinned_) return std::time(nullptr);
  auto elapsed = std::chrono::steady_clock::now() - pinned_at_;
  return pinned_wall_ + std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
}

}  // namespace zel
