#include "server/delivery_lanes.h"

#include <condition_variable>
#include <deque>
#include <thread>

namespace zel {

// One recipient's queue and thread. mu guards every field; the thread runs while `running`.
struct DeliveryLanes::Lane {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::function<void()>> queue;
  uint64_t handed = 0;  // calls handed in so far
  uint64_t done = 0;    // calls finished so far
  bool running = false;
  bool ending = false;  // the lanes are being destroyed: finish the queue, then stop
};

namespace {

constexpr size_t kPruneAbove = 64;

// The lane's thread: runs the queued calls in order; ends when the queue has stayed empty for
// the idle time, or once it is empty while the lanes are being destroyed.
void RunLane(const std::shared_ptr<DeliveryLanes::Lane>& lane, Millis idle) {
  std::unique_lock<std::mutex> g(lane->mu);
  for (;;) {
    if (lane->queue.empty()) {
      if (lane->ending) break;
      bool woken = lane->cv.wait_for(g, idle, [&] { return !lane->queue.empty() || lane->ending; });
      if (!woken) break;
      continue;
    }
    std::function<void()> call = std::move(lane->queue.front());
    lane->queue.pop_front();
    g.unlock();
    try {
      call();
    } catch (...) {
      // A recipient's failure is its own.
    }
    call = nullptr;  // what the call holds (the event, the recipient) goes here, unlocked
    g.lock();
    ++lane->done;
    lane->cv.notify_all();
  }
  lane->running = false;
}

}  // namespace

DeliveryLanes::~DeliveryLanes() {
  std::map<const void*, std::shared_ptr<Lane>> lanes;
  {
    std::lock_guard<std::mutex> g(mu_);
    lanes.swap(lanes_);
  }
  for (auto& [key, lane] : lanes) {
    std::lock_guard<std::mutex> g(lane->mu);
    lane->ending = true;
    lane->cv.notify_all();
  }
}

bool DeliveryLanes::Deliver(const void* recipient, std::function<void()> call) {
  std::shared_ptr<Lane> lane;
  {
    std::lock_guard<std::mutex> g(mu_);
    // Recipients come and go (a sink per bridge client): lanes that ended are forgotten.
    if (lanes_.size() > kPruneAbove) {
      std::erase_if(lanes_, [](const auto& entry) {
        std::lock_guard<std::mutex> lg(entry.second->mu);
        return !entry.second->running && entry.second->queue.empty();
      });
    }
    std::shared_ptr<Lane>& slot = lanes_[recipient];
    if (!slot) slot = std::make_shared<Lane>();
    lane = slot;
  }
  std::unique_lock<std::mutex> g(lane->mu);
  // A recipient still busy with an earlier call is not waited for again: it costs a firing
  // kDeliveryWait once, not once per event.
  const bool behind = lane->done != lane->handed;
  lane->queue.push_back(std::move(call));
  uint64_t mine = ++lane->handed;
  if (!lane->running) {
    lane->running = true;
    std::thread([lane, idle = Clock::Get()->Scaled(kLaneIdle)] { RunLane(lane, idle); }).detach();
  }
  lane->cv.notify_all();
  if (behind) return false;
  return lane->cv.wait_for(g, Clock::Get()->Scaled(kDeliveryWait),
                           [&] { return lane->done >= mine; });
}

size_t DeliveryLanes::lane_count() {
  std::lock_guard<std::mutex> g(mu_);
  size_t n = 0;
  for (auto& [key, lane] : lanes_) {
    std::lock_guard<std::mutex> lg(lane->mu);
    if (lane->running) ++n;
  }
  return n;
}

}  // namespace zel
