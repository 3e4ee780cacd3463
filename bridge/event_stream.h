// EventStream: one GET /api/v1/events connection, writing the session's events as Server-Sent
// Events:
//
//   id: 7
//   data: {"seq":7,"interface":"_DZelServerEvents","member":"OnArmEvent",...}
//
// Log events carry a durable cursor. When the server keeps an event log, every id also names the
// Index of the newest log entry the stream has passed ("id: 41.1203"). A client that reconnects
// (Last-Event-ID, as a browser's EventSource sends it) or asks for ?after=INDEX first receives
// the stored log entries after that index, each as it went out live (an OnEvent of the server's
// events interface, then the member of its class), then the live events; a live log entry
// already replayed is not sent again.
//
// The stream holds no thread while it waits. When its queue is empty it suspends its HTTP
// connection; a new event (or the heartbeat tick, or the end of the session) resumes it. A
// comment line is written when nothing was written for the heartbeat interval, which is also how
// a client that went away is noticed.
//
// An event leaves the session's queue only once it was written whole to a live connection.
// Before taking events the stream checks that the client is still there (a client that closed
// its end while the stream waited has left an end-of-file behind); events taken but not handed
// out whole when the connection ends go back to the head of the queue (Closed), so the next
// stream of the session receives them and the sequence numbers stay dense.
//
// Thread contract: Fill runs on the HTTP library's thread for this connection; Wake and End run on
// any thread (the pushing server thread, the housekeeping thread, Stop). mu_ guards every field
// below it. Objects in events get their handles when the event is written, in the session.
#pragma once

#include <microhttpd.h>

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "bridge/event_queue.h"
#include "bridge/session.h"
#include "platform/sync.h"

namespace zel::bridge {

class EventStream : public std::enable_shared_from_this<EventStream> {
 public:
  EventStream(MHD_Connection* connection, std::shared_ptr<Session> session,
              std::chrono::milliseconds heartbeat);
  ~EventStream();

  // Subscribes to the session's events; call once, right after construction. With `after`,
  // the stored log entries after that Index are replayed first.
  void Attach(std::optional<uint32_t> after = std::nullopt);
  // The log cursor of a Last-Event-ID ("41.1203" gives 1203); nothing for an id without one.
  static std::optional<uint32_t> CursorOfEventId(std::string_view id);
  // Copies the next bytes of the stream into buf; 0 after suspending the connection;
  // MHD_CONTENT_READER_END_OF_STREAM when the stream has ended.
  ssize_t Fill(char* buf, size_t max);
  // Resumes the connection if it waits.
  void Wake();
  // Ends the stream at its next write (bridge stop).
  void End();
  // The connection finished: never touch it again; detaches from the session.
  void Closed();

  // The SSE form of one event, with object arguments given handles in `resolver`; `id` (when
  // not empty) replaces the event's seq as its SSE id.
  static std::string Format(const BridgeEvent& event, ObjectResolver* resolver,
                            const std::string& id = {});

 private:
  MHD_Connection* const connection_;
  const std::shared_ptr<Session> session_;
  const std::chrono::milliseconds heartbeat_;

  Mutex mu_;
  std::shared_ptr<EventQueue::Subscriber> subscriber_ ZEL_GUARDED_BY(mu_);
  // True when the client has closed its end of the connection.
  bool PeerClosed() const;

  std::string pending_ ZEL_GUARDED_BY(mu_);  // formatted bytes not yet written
  size_t pending_offset_ ZEL_GUARDED_BY(mu_) = 0;
  // The events in pending_ whose last byte has not been handed out yet, each with the offset
  // just past its bytes.
  struct InFlight {
    BridgeEvent event;
    size_t end = 0;
  };
  std::deque<InFlight> in_flight_ ZEL_GUARDED_BY(mu_);
  bool suspended_ ZEL_GUARDED_BY(mu_) = false;
  bool ended_ ZEL_GUARDED_BY(mu_) = false;
  bool closed_ ZEL_GUARDED_BY(mu_) = false;
  std::chrono::steady_clock::time_point last_write_ ZEL_GUARDED_BY(mu_);

  // The log cursor (see the top). Without the server's event log, log_ is null and ids are the
  // plain seq.
  std::string IdOf(const BridgeEvent& event) ZEL_REQUIRES(mu_);
  ComPtr<IDispatch> log_ ZEL_GUARDED_BY(mu_);
  uint32_t cursor_ ZEL_GUARDED_BY(mu_) = 0;       // newest log Index passed
  uint32_t replay_next_ ZEL_GUARDED_BY(mu_) = 0;  // next Index to replay
  uint32_t replay_end_ ZEL_GUARDED_BY(mu_) = 0;   // last Index to replay; live ones up to it
                                                  // are not sent again
};

}  // namespace zel::bridge
