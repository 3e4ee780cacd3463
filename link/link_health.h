// LinkHealth: how the controller link is doing, told by the outcome of every exchange (every
// request through SendControllerRequest records one). Clients see it as the server's LinkState
// beside its Status, which says where the lifecycle stands, not whether the controller answers.
//
//   up        the last exchange was good (or none has failed yet)
//   degraded  exchanges failed since the last good one, for at most the down time
//   down      exchanges failed and none was good for longer than the down time (10 s default)
//
// A good exchange is one the transport answered with a frame, whatever frame (a negative
// acknowledge is an answer); a failed one is a transport failure (time-out, short read, line
// closed or not connected).
//
// Thread contract: Record and Snapshot from any thread; mu_ guards the fields. The listener is
// called outside the lock, on the thread that noticed the change (an exchange's thread, or a
// reader's when the down time ran out between exchanges); it must not block.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string_view>

#include "platform/clock.h"
#include "platform/sync.h"

namespace zel {

enum class LinkState { kUp, kDegraded, kDown };

// "up", "degraded", "down".
std::string_view LinkStateName(LinkState state);

class LinkHealth {
 public:
  static constexpr Millis kDefaultDownAfter{10000};

  struct Snapshot {
    LinkState state = LinkState::kUp;
    uint32_t failures = 0;      // failed exchanges since the last good one
    std::time_t last_good = 0;  // wall-clock time of the last good exchange; 0: none yet
  };

  // The process's one link.
  static LinkHealth& Process();

  void Record(bool good);
  Snapshot Now();

  // The down time, on the clock's monotonic time.
  void set_down_after(Millis down_after);
  void SetListener(std::function<void(LinkState)> listener);
  // Forgets the history: up, no failures, no good exchange yet (tests; a new link).
  void Reset();

 private:
  LinkState StateAt(std::chrono::steady_clock::time_point now) const ZEL_REQUIRES(mu_);
  // Computes the state; returns true (and the state) when it differs from the last reported.
  bool Changed(LinkState* state) ZEL_REQUIRES(mu_);

  mutable Mutex mu_;
  Millis down_after_ ZEL_GUARDED_BY(mu_) = kDefaultDownAfter;
  uint32_t failures_ ZEL_GUARDED_BY(mu_) = 0;
  // Since when the link has been failing: the last good exchange, or the first failure.
  std::chrono::steady_clock::time_point since_ ZEL_GUARDED_BY(mu_);
  std::time_t last_good_wall_ ZEL_GUARDED_BY(mu_) = 0;
  LinkState reported_ ZEL_GUARDED_BY(mu_) = LinkState::kUp;
  std::function<void(LinkState)> listener_ ZEL_GUARDED_BY(mu_);
};

}  // namespace zel
