// EventQueue: the events of one client session, in the order the server made them, on their way
// to the session's event streams.
//
// Push never blocks the thread that fires (a server update thread): it takes a short lock,
// appends, and wakes the streams. Each stream (subscriber) has its own bounded queue; when it is
// full the oldest event is dropped and counted, and the stream's next read yields one
// "EventsDropped" event carrying the count before the events that follow. While no stream is
// attached, events wait in a backlog bounded the same way, and the first stream to attach takes
// them.
//
// No event is lost to a stream that goes away: a stream hands back (PutBack) the events it took
// but could not write whole, and when the last stream detaches, what it had not taken returns
// to the head of the backlog, in order, for the next stream.
//
// Thread contract: all members are safe from any thread; mu_ guards every queue. Wake callbacks
// run on the pushing thread after mu_ is released.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch.h"
#include "platform/sync.h"

namespace zel::bridge {

struct BridgeEvent {
  uint64_t seq = 0;            // 1, 2, ... per session; 0 for the bridge's own notices
  std::string interface_name;  // the outgoing interface's name, "callback", or "bridge"
  std::string member;          // member name (or "#<dispid>" when the interface has no table)
  DISPID dispid = DISPID_UNKNOWN;
  std::string source;  // handle of the object that fired, or of the callback object
  std::vector<Variant> args;
};

// The interface and member of the bridge's drop notice.
inline constexpr const char* kBridgeInterface = "bridge";
inline constexpr const char* kDroppedMember = "EventsDropped";

class EventQueue {
 public:
  class Subscriber {
   public:
    explicit Subscriber(std::function<void()> wake) : wake_(std::move(wake)) {}

   private:
    friend class EventQueue;
    std::function<void()> wake_;
    std::deque<BridgeEvent> events_;  // guarded by the queue's mu_
    uint64_t dropped_ = 0;            // guarded by the queue's mu_
  };

  explicit EventQueue(size_t limit) : limit_(limit == 0 ? 1 : limit) {}

  // Appends an event (its seq is assigned here). Ignored after Close.
  void Push(BridgeEvent event);

  // Attaches a stream; wake is called (on the pushing thread) whenever events arrive or the
  // queue closes. The new subscriber takes the backlog.
  std::shared_ptr<Subscriber> Subscribe(std::function<void()> wake);
  // Detaches a stream. When it was the last, its undelivered events (and its count of dropped
  // ones) go back to the backlog ahead of anything newer.
  void Unsubscribe(const std::shared_ptr<Subscriber>& subscriber);
  // Returns events a stream took with Pop but did not write, oldest first, to the head of its
  // queue.
  void PutBack(Subscriber* subscriber, std::deque<BridgeEvent> events);

  // The subscriber's next event, the drop notice first when events were dropped. False when
  // there is none.
  bool Pop(Subscriber* subscriber, BridgeEvent* out);

  // Ends the queue: drops what is queued, wakes every stream, ignores later pushes.
  void Close();
  bool closed() const;
  size_t subscriber_count() const;
  // Events waiting with no stream attached (tests).
  size_t backlog_size() const;

 private:
  static void Append(std::deque<BridgeEvent>* queue, uint64_t* dropped, size_t limit,
                     BridgeEvent event, std::deque<BridgeEvent>* released);

  const size_t limit_;
  mutable Mutex mu_;
  bool closed_ ZEL_GUARDED_BY(mu_) = false;
  uint64_t next_seq_ ZEL_GUARDED_BY(mu_) = 1;
  std::deque<BridgeEvent> backlog_ ZEL_GUARDED_BY(mu_);
  uint64_t backlog_dropped_ ZEL_GUARDED_BY(mu_) = 0;
  std::vector<std::shared_ptr<Subscriber>> subscribers_ ZEL_GUARDED_BY(mu_);
};

}  // namespace zel::bridge
