// EventStream: one GET /api/v1/events connection, writing the session's events as Server-Sent
// Events:
//
//   id: 7
//   data: {"seq":7,"interface":"_DZelServerEvents","member":"OnArmEvent",...}
//
// The stream holds no thread while it waits. When its queue is empty it suspends its HTTP
// connection; a new event (or the heartbeat tick, or the end of the session) resumes it. A
// comment line is written when nothing was written for the heartbeat interval, which is also how
// a client that went away is noticed.
//
// Thread contract: Fill runs on the HTTP library's thread for this connection; Wake and End run on
// any thread (the pushing server thread, the housekeeping thread, Stop). mu_ guards every field
// below it. Objects in events get their handles when the event is written, in the session.
#pragma once

#include <microhttpd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "bridge/event_queue.h"
#include "bridge/session.h"
#include "platform/sync.h"

namespace zel::bridge {

class EventStream : public std::enable_shared_from_this<EventStream> {
 public:
  EventStream(MHD_Connection* connection, std::shared_ptr<Session> session,
              std::chrono::milliseconds heartbeat);
  ~EventStream();

  // Subscribes to the session's events; call once, right after construction.
  void Attach();
  // Copies the next bytes of the stream into buf; 0 after suspending the connection;
  // MHD_CONTENT_READER_END_OF_STREAM when the stream has ended.
  ssize_t Fill(char* buf, size_t max);
  // Resumes the connection if it waits.
  void Wake();
  // Ends the stream at its next write (bridge stop).
  void End();
  // The connection finished: never touch it again; detaches from the session.
  void Closed();

  // The SSE form of one event, with object arguments given handles in `resolver`.
  static std::string Format(const BridgeEvent& event, ObjectResolver* resolver);

 private:
  MHD_Connection* const connection_;
  const std::shared_ptr<Session> session_;
  const std::chrono::milliseconds heartbeat_;

  Mutex mu_;
  std::shared_ptr<EventQueue::Subscriber> subscriber_ ZEL_GUARDED_BY(mu_);
  std::string pending_ ZEL_GUARDED_BY(mu_);  // formatted bytes not yet written
  size_t pending_offset_ ZEL_GUARDED_BY(mu_) = 0;
  bool suspended_ ZEL_GUARDED_BY(mu_) = false;
  bool ended_ ZEL_GUARDED_BY(mu_) = false;
  bool closed_ ZEL_GUARDED_BY(mu_) = false;
  std::chrono::steady_clock::time_point last_write_ ZEL_GUARDED_BY(mu_);
};

}  // namespace zel::bridge
