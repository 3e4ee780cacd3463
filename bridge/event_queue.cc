#include "bridge/event_queue.h"

#include <algorithm>

#include "platform/sync.h"

namespace zel::bridge {

void EventQueue::Append(std::deque<BridgeEvent>* queue, uint64_t* dropped, size_t limit,
                        BridgeEvent event, std::deque<BridgeEvent>* released) {
  while (queue->size() >= limit) {
    released->push_back(std::move(queue->front()));
    queue->pop_front();
    ++*dropped;
  }
  queue->push_back(std::move(event));
}

void EventQueue::Push(BridgeEvent event) {
  std::vector<std::function<void()>> wakes;
  std::deque<BridgeEvent> released;  // events dropped here are released after the lock
  {
    MutexLock g(&mu_);
    if (closed_) return;
    event.seq = next_seq_++;
    if (subscribers_.empty()) {
      Append(&backlog_, &backlog_dropped_, limit_, std::move(event), &released);
      return;
    }
    for (size_t i = 0; i < subscribers_.size(); ++i) {
      Subscriber& s = *subscribers_[i];
      // The last subscriber takes the event itself, the others a copy.
      BridgeEvent copy = i + 1 == subscribers_.size() ? std::move(event) : event;
      Append(&s.events_, &s.dropped_, limit_, std::move(copy), &released);
      wakes.push_back(s.wake_);
    }
  }
  for (auto& wake : wakes) wake();
}

std::shared_ptr<EventQueue::Subscriber> EventQueue::Subscribe(std::function<void()> wake) {
  auto s = std::make_shared<Subscriber>(std::move(wake));
  MutexLock g(&mu_);
  s->events_.swap(backlog_);
  s->dropped_ = std::exchange(backlog_dropped_, 0);
  subscribers_.push_back(s);
  return s;
}

void EventQueue::Unsubscribe(const std::shared_ptr<Subscriber>& subscriber) {
  std::deque<BridgeEvent> released;  // released after the lock
  MutexLock g(&mu_);
  auto it = std::find(subscribers_.begin(), subscribers_.end(), subscriber);
  if (it == subscribers_.end()) return;
  Subscriber& s = **it;
  if (subscribers_.size() == 1 && !closed_) {
    // The last stream: its events wait for the next one. The backlog is empty while a stream is
    // attached, but anything in it would be newer.
    while (!backlog_.empty()) {
      s.events_.push_back(std::move(backlog_.front()));
      backlog_.pop_front();
    }
    while (s.events_.size() > limit_) {
      released.push_back(std::move(s.events_.front()));
      s.events_.pop_front();
      ++s.dropped_;
    }
    backlog_.swap(s.events_);
    backlog_dropped_ += std::exchange(s.dropped_, 0);
  } else {
    // The other streams have these events already.
    released.swap(s.events_);
  }
  subscribers_.erase(it);
}

void EventQueue::PutBack(Subscriber* subscriber, std::deque<BridgeEvent> events) {
  MutexLock g(&mu_);
  if (closed_) return;
  for (auto it = events.rbegin(); it != events.rend(); ++it) {
    subscriber->events_.push_front(std::move(*it));
  }
}

bool EventQueue::Pop(Subscriber* subscriber, BridgeEvent* out) {
  BridgeEvent taken;
  {
    MutexLock g(&mu_);
    if (subscriber->dropped_ > 0) {
      taken.interface_name = kBridgeInterface;
      taken.member = kDroppedMember;
      taken.args.push_back(Variant::UI4(
          static_cast<uint32_t>(std::min<uint64_t>(subscriber->dropped_, UINT32_MAX))));
      subscriber->dropped_ = 0;
    } else if (!subscriber->events_.empty()) {
      taken = std::move(subscriber->events_.front());
      subscriber->events_.pop_front();
    } else {
      return false;
    }
  }
  *out = std::move(taken);
  return true;
}

void EventQueue::Close() {
  std::vector<std::function<void()>> wakes;
  std::deque<BridgeEvent> released;  // released after the lock
  std::vector<std::shared_ptr<Subscriber>> subscribers;
  {
    MutexLock g(&mu_);
    if (closed_) return;
    closed_ = true;
    released.swap(backlog_);
    subscribers = subscribers_;
    for (auto& s : subscribers_) wakes.push_back(s->wake_);
  }
  for (auto& wake : wakes) wake();
}

bool EventQueue::closed() const {
  MutexLock g(&mu_);
  return closed_;
}

size_t EventQueue::subscriber_count() const {
  MutexLock g(&mu_);
  return subscribers_.size();
}

size_t EventQueue::backlog_size() const {
  MutexLock g(&mu_);
  return backlog_.size();
}

}  // namespace zel::bridge
