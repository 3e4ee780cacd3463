// DeliveryLanes: keeps one slow recipient of events (a handler or a sink that blocks for seconds)
// from holding up the others. Each recipient has a lane: a thread that makes that recipient's
// calls one after another, in the order they were handed in. Deliver hands a call to the
// recipient's lane and waits for it at most kDeliveryWait; a recipient that answers in time is
// called exactly as if inline (one call at a time, in the firing's order), and one that does not
// keeps its calls queued on its own lane while the firing goes on to the next recipient. A call
// for a recipient still busy with an earlier one is queued without waiting, so a recipient that
// hangs costs the firings kDeliveryWait once, not once per event.
//
// A lane whose queue stays empty for kLaneIdle ends its thread; the next call starts a new one.
// The destructor ends every lane: idle ones at once, a lane stuck in a call is left to finish it
// on its own (its thread holds what it needs), so destroying the server never waits on a client.
//
// Thread contract: Deliver may be called from any thread (the event collections' threads);
// mu_ guards the lane table. Calls run on the lanes' threads, with no lock held.
#pragma once

#include <functional>
#include <map>
#include <memory>

#include "platform/clock.h"
#include "platform/sync.h"

namespace zel {

class DeliveryLanes {
 public:
  // How long a firing waits for one recipient's call before it goes on without it.
  static constexpr Millis kDeliveryWait{250};
  // How long an idle lane keeps its thread.
  static constexpr Millis kLaneIdle{10000};

  DeliveryLanes() = default;
  ~DeliveryLanes();
  DeliveryLanes(const DeliveryLanes&) = delete;
  DeliveryLanes& operator=(const DeliveryLanes&) = delete;

  // Runs `call` on the lane of `recipient` (any pointer that names the recipient: its identity
  // is only compared). True when it ended within kDeliveryWait; false when it is still running,
  // or was queued behind an earlier call of the same recipient that is (then without waiting).
  bool Deliver(const void* recipient, std::function<void()> call);

  // Lanes with a thread now (tests).
  size_t lane_count();

  struct Lane;  // defined in delivery_lanes.cc

 private:
  Mutex mu_;
  std::map<const void*, std::shared_ptr<Lane>> lanes_ ZEL_GUARDED_BY(mu_);
};

}  // namespace zel
