#include "server/delivery_lanes.h"

#include <deque>
#include <thread>

namespace zel {

// One recipient's queue and thread. mu guards every field; the thread runs while `running`.
struct DeliveryLanes::Lane {
  Mutex mu;
  CondVar cv;
  std::deque<std::function<void()>> queue ZEL_GUARDED_BY(mu);
  uint64_t handed ZEL_GUARDED_BY(mu) = 0;  // calls handed in so far
  uint64_t done ZEL_GUARDED_BY(mu) = 0;    // calls finished so far
  bool running ZEL_GUARDED_BY(mu) = false;
  // The lanes are being destroyed: finish the queue, then stop.
  bool ending ZEL_GUARDED_BY(mu) = false;
};

namespace {

constexpr size_t kPruneAbove = 64;

// The lane's thread: runs the queued calls in order; ends when the queue has stayed empty for
// the idle time, or once it is empty while the lanes are being destroyed.
void RunLane(const std::shared_ptr<DeliveryLanes::Lane>& lane, Millis idle) {
  MutexLock g(&lane->mu);
  for (;;) {
    if (lane->queue.empty()) {
      if (lane->ending) break;
      auto deadline = std::chrono::steady_clock::now() + idle;
      while (lane->queue.empty() && !lane->ending) {
        if (!lane->cv.WaitUntil(&lane->mu, deadline)) break;
      }
      if (lane->queue.empty() && !lane->ending) break;  // idle for the whole idle time
      continue;
    }
    std::function<void()> call = std::move(lane->queue.front());
    lane->queue.pop_front();
    g.Unlock();
    try {
      call();
    } catch (...) {
      // A recipient's failure is its own.
    }
    call = nullptr;  // what the call holds (the event, the recipient) goes here, unlocked
    g.Lock();
    ++lane->done;
    lane->cv.SignalAll();
  }
  lane->running = false;
}

}  // namespace

DeliveryLanes::~DeliveryLanes() {
  std::map<const void*, std::shared_ptr<Lane>> lanes;
  {
    MutexLock g(&mu_);
    lanes.swap(lanes_);
  }
  for (auto& [key, lane] : lanes) {
    MutexLock g(&lane->mu);
    lane->ending = true;
    lane->cv.SignalAll();
  }
}

bool DeliveryLanes::Deliver(const void* recipient, std::function<void()> call) {
  std::shared_ptr<Lane> lane;
  {
    MutexLock g(&mu_);
    // Recipients come and go (a sink per bridge client): lanes that ended are forgotten.
    if (lanes_.size() > kPruneAbove) {
      for (auto it = lanes_.begin(); it != lanes_.end();) {
        Lane& l = *it->second;
        MutexLock lg(&l.mu);
        bool ended = !l.running && l.queue.empty();
        lg.Unlock();
        it = ended ? lanes_.erase(it) : std::next(it);
      }
    }
    std::shared_ptr<Lane>& slot = lanes_[recipient];
    if (!slot) slot = std::make_shared<Lane>();
    lane = slot;
  }
  MutexLock g(&lane->mu);
  // A recipient still busy with an earlier call is not waited for again: it costs a firing
  // kDeliveryWait once, not once per event.
  const bool behind = lane->done != lane->handed;
  lane->queue.push_back(std::move(call));
  uint64_t mine = ++lane->handed;
  if (!lane->running) {
    lane->running = true;
    std::thread([lane, idle = Clock::Get()->Scaled(kLaneIdle)] { RunLane(lane, idle); }).detach();
  }
  lane->cv.SignalAll();
  if (behind) return false;
  auto deadline = std::chrono::steady_clock::now() + Clock::Get()->Scaled(kDeliveryWait);
  while (lane->done < mine) {
    if (!lane->cv.WaitUntil(&lane->mu, deadline)) return lane->done >= mine;
  }
  return true;
}

size_t DeliveryLanes::lane_count() {
  MutexLock g(&mu_);
  size_t n = 0;
  for (auto& [key, lane] : lanes_) {
    MutexLock lg(&lane->mu);
    if (lane->running) ++n;
  }
  return n;
}

}  // namespace zel
