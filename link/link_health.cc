#include "link/link_health.h"

namespace zel {

std::string_view LinkStateName(LinkState state) {
  switch (state) {
    case LinkState::kUp:
      return "up";
    case LinkState::kDegraded:
      return "degraded";
    case LinkState::kDown:
      return "down";
  }
  return "up";
}

LinkHealth& LinkHealth::Process() {
  static LinkHealth* health = new LinkHealth();  // never destroyed: used by threads at exit
  return *health;
}

LinkState LinkHealth::StateAt(std::chrono::steady_clock::time_point now) const {
  if (failures_ == 0) return LinkState::kUp;
  // On the clock's monotonic time, which a test moves by hand; never a wait, so not scaled.
  return now - since_ > down_after_ ? LinkState::kDown : LinkState::kDegraded;
}

bool LinkHealth::Changed(LinkState* state) {
  *state = StateAt(Clock::Get()->Now());
  if (*state == reported_) return false;
  reported_ = *state;
  return true;
}

void LinkHealth::Record(bool good) {
  std::function<void(LinkState)> listener;
  LinkState state;
  {
    MutexLock g(&mu_);
    auto now = Clock::Get()->Now();
    if (good) {
      failures_ = 0;
      since_ = now;
      last_good_wall_ = Clock::Get()->WallNow();
    } else {
      // A link that never had a good exchange has been failing since its first failure.
      if (failures_ == 0 && last_good_wall_ == 0) since_ = now;
      if (failures_ < UINT32_MAX) ++failures_;
    }
    if (!Changed(&state)) return;
    listener = listener_;
  }
  if (listener) listener(state);
}

LinkHealth::Snapshot LinkHealth::Now() {
  std::function<void(LinkState)> listener;
  Snapshot s;
  LinkState state;
  {
    MutexLock g(&mu_);
    bool changed = Changed(&state);
    s.state = state;
    s.failures = failures_;
    s.last_good = last_good_wall_;
    if (changed) listener = listener_;
  }
  if (listener) listener(s.state);
  return s;
}

void LinkHealth::set_down_after(Millis down_after) {
  MutexLock g(&mu_);
  down_after_ = down_after;
}

void LinkHealth::SetListener(std::function<void(LinkState)> listener) {
  MutexLock g(&mu_);
  listener_ = std::move(listener);
}

void LinkHealth::Reset() {
  MutexLock g(&mu_);
  failures_ = 0;
  since_ = Clock::Get()->Now();
  last_good_wall_ = 0;
  reported_ = LinkState::kUp;
}

}  // namespace zel
