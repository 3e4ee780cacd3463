#include "bridge/code_backoff.h"

#include <algorithm>

namespace zel::bridge {
namespace {

// Identities kept before the ones whose back-off has passed are dropped.
constexpr size_t kPruneAbove = 1024;

}  // namespace

Millis CodeBackoff::Remaining(const std::string& identity) {
  Clock* clock = Clock::Get();
  auto now = clock->Now();
  MutexLock g(&mu_);
  auto it = entries_.find(identity);
  if (it == entries_.end() || it->second.until <= now) return Millis(0);
  // The wait is stored in real time; report it as the production duration it stands for.
  auto real = std::chrono::ceil<Millis>(it->second.until - now);
  Millis unit = clock->Scaled(Millis(1000));
  if (unit.count() <= 0) return real;
  return Millis((real.count() * 1000 + unit.count() - 1) / unit.count());
}

Millis CodeBackoff::Wrong(const std::string& identity) {
  Clock* clock = Clock::Get();
  auto now = clock->Now();
  MutexLock g(&mu_);
  if (entries_.size() > kPruneAbove) Prune(now);
  Entry& e = entries_[identity];
  e.wrong = std::min(e.wrong + 1, 16u);
  Millis wait = std::min(kLongest, Millis(kFirst.count() << (e.wrong - 1)));
  e.until = now + clock->Scaled(wait);
  return wait;
}

void CodeBackoff::Right(const std::string& identity) {
  MutexLock g(&mu_);
  entries_.erase(identity);
}

void CodeBackoff::Prune(std::chrono::steady_clock::time_point now) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    // Past its back-off by the longest back-off: a new wrong code starts from 1 s again.
    if (it->second.until + Clock::Get()->Scaled(kLongest) < now) {
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace zel::bridge
