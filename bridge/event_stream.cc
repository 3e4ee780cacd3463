#include "bridge/event_stream.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "bridge/event_description.h"
#include "bridge/variant_json.h"
#include "events/event_entries.h"
#include "events/event_interfaces.h"
#include "platform/class_registry.h"
#include "platform/sync.h"

namespace zel::bridge {
namespace {

// Events formatted in one go before the connection writes them.
constexpr int kEventsPerFill = 32;
// The first bytes of every stream: the client learns at once that the stream is open, and a
// browser's EventSource waits 2 s before reconnecting.
constexpr const char* kStreamPreamble = ": zelcommsrv events\nretry: 2000\n\n";
constexpr const char* kKeepAlive = ": keepalive\n\n";

// The server's event log, or null when the server keeps none.
ComPtr<IDispatch> ServerEventLog() {
  ComPtr<IDispatch> server;
  if (Failed(ClassRegistry::Instance().CreateByProgId("Corvane.ZelServer", IDispatch::kIid,
                                                      server.ReceiveVoid()))) {
    return nullptr;
  }
  Variant log;
  if (GetProperty(server.get(), "Events", &log) != S_OK || log.vt() != VT_DISPATCH) return nullptr;
  return ComPtr<IDispatch>(log.dispatch());
}

// The member an entry reached live besides OnEvent, told by its class (the classes follow the
// entries' type codes); empty for the plain entries, which reach OnEvent only.
std::string ClassMemberOf(const Variant& entry) {
  if (entry.vt() != VT_DISPATCH || entry.dispatch() == nullptr) return {};
  static const std::pair<IID, const char*> kMembers[] = {
      {IZelAccessEvent::kIid, "OnAccessEvent"},   {IZelAlarmEvent::kIid, "OnAlarmEvent"},
      {IZelArmEvent::kIid, "OnArmEvent"},         {IZelBypassEvent::kIid, "OnBypassEvent"},
      {IZelMessageEvent::kIid, "OnMessageEvent"}, {IZelRestoreEvent::kIid, "OnRestoreEvent"},
      {IZelTroubleEvent::kIid, "OnTroubleEvent"},
  };
  for (const auto& [iid, member] : kMembers) {
    ComPtr<IUnknown> found;
    if (Succeeded(entry.dispatch()->QueryInterface(iid, found.ReceiveVoid()))) return member;
  }
  return {};
}

uint32_t LogCount(IDispatch* log) {
  Variant count;
  if (Failed(GetProperty(log, "Count", &count)) || count.vt() != VT_I4 || count.i4() < 0) return 0;
  return static_cast<uint32_t>(count.i4());
}

// The Index of a log entry passed as an event's first argument; 0 for any other event.
uint32_t LogIndexOf(const BridgeEvent& event) {
  if (event.args.empty() || event.args[0].vt() != VT_DISPATCH) return 0;
  ComPtr<IZelEvent> entry;
  if (Failed(QueryAs<IZelEvent>(event.args[0].dispatch(), &entry))) return 0;
  Variant index;
  if (Failed(entry->get_Index(&index)) || index.vt() != VT_I4) return 0;
  return static_cast<uint32_t>(index.i4());
}

}  // namespace

std::optional<uint32_t> EventStream::CursorOfEventId(std::string_view id) {
  size_t dot = id.rfind('.');
  if (dot == std::string_view::npos || dot + 1 >= id.size()) return std::nullopt;
  uint64_t value = 0;
  for (char c : id.substr(dot + 1)) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > UINT32_MAX) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

EventStream::EventStream(MHD_Connection* connection, std::shared_ptr<Session> session,
                         std::chrono::milliseconds heartbeat)
    : connection_(connection),
      session_(std::move(session)),
      heartbeat_(heartbeat),
      pending_(kStreamPreamble),
      last_write_(std::chrono::steady_clock::now()) {}

EventStream::~EventStream() { Closed(); }

void EventStream::Attach(std::optional<uint32_t> after) {
  std::weak_ptr<EventStream> weak = weak_from_this();
  auto subscriber = session_->events()->Subscribe([weak] {
    if (auto self = weak.lock()) self->Wake();
  });
  // Subscribed first, then the log's length read: an entry added in between comes live and is
  // skipped there if it is also replayed.
  ComPtr<IDispatch> log = ServerEventLog();
  uint32_t count = log ? LogCount(log.get()) : 0;
  MutexLock g(&mu_);
  subscriber_ = std::move(subscriber);
  log_ = std::move(log);
  if (!log_) return;
  if (after) {
    cursor_ = *after;
    replay_next_ = *after + 1;
    replay_end_ = count;
  } else {
    cursor_ = count;
  }
}

std::string EventStream::IdOf(const BridgeEvent& event) {
  if (!log_) return {};
  uint32_t index = LogIndexOf(event);
  if (index > cursor_) cursor_ = index;
  return std::to_string(event.seq) + "." + std::to_string(cursor_);
}

std::string EventStream::Format(const BridgeEvent& event, ObjectResolver* resolver,
                                const std::string& id) {
  Json args = Json::array();
  // Objects passed with an event come with their properties (event_description.h).
  for (const Variant& v : event.args) args.push_back(DescribeEventArgument(v, resolver));
  Json j = Json::object();
  if (event.seq != 0) j["seq"] = event.seq;
  j["interface"] = event.interface_name;
  j["member"] = event.member;
  if (event.dispid != DISPID_UNKNOWN) j["dispid"] = event.dispid;
  if (!event.source.empty()) j["source"] = event.source;
  j["arguments"] = std::move(args);
  std::string text;
  if (!id.empty()) {
    text = "id: " + id + "\n";
  } else if (event.seq != 0) {
    text = "id: " + std::to_string(event.seq) + "\n";
  }
  // One line of JSON (dump never writes a raw newline); bad UTF-8 becomes U+FFFD.
  text += "data: " + j.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n\n";
  return text;
}

ssize_t EventStream::Fill(char* buf, size_t max) {
  MutexLock g(&mu_);
  if (closed_) return MHD_CONTENT_READER_END_WITH_ERROR;
  if (pending_offset_ >= pending_.size()) {
    pending_.clear();
    pending_offset_ = 0;
    if (ended_ || session_->events()->closed()) return MHD_CONTENT_READER_END_OF_STREAM;
    // A client that went away while the stream waited: its events stay queued for the next
    // stream instead of going into a dead connection.
    if (PeerClosed()) return MHD_CONTENT_READER_END_WITH_ERROR;
    BridgeEvent event;
    // Stored log entries the client has not seen come before the live events.
    for (int n = 0; n < kEventsPerFill && log_ && replay_next_ <= replay_end_; ++n) {
      uint32_t index = replay_next_++;
      Variant item;
      if (CallMethod(log_.get(), "Item",
                     std::vector<Variant>{Variant::I4(static_cast<int32_t>(index))},
                     &item) != S_OK) {
        continue;
      }
      // As it went out live: OnEvent, then the member of its class.
      std::string class_member = ClassMemberOf(item);
      BridgeEvent replayed;
      replayed.interface_name = "_DZelServerEvents";
      replayed.member = "OnEvent";
      replayed.args.push_back(std::move(item));
      try {
        pending_ += Format(replayed, &session_->handles(), IdOf(replayed));
        if (!class_member.empty()) {
          replayed.member = class_member;
          pending_ += Format(replayed, &session_->handles(), IdOf(replayed));
        }
      } catch (...) {
      }
    }
    for (int n = 0; pending_.empty() && n < kEventsPerFill && subscriber_ &&
                    session_->events()->Pop(subscriber_.get(), &event);
         ++n) {
      // A live log entry the replay has already sent is not sent again.
      uint32_t index = log_ ? LogIndexOf(event) : 0;
      if (index != 0 && index <= replay_end_) continue;
      try {
        pending_ += Format(event, &session_->handles(), IdOf(event));
      } catch (...) {
        // An event that cannot be written is skipped; the stream goes on.
        continue;
      }
      if (event.seq != 0) in_flight_.push_back({std::move(event), pending_.size()});
    }
    if (pending_.empty()) {
      auto now = std::chrono::steady_clock::now();
      if (now - last_write_ >= heartbeat_) {
        pending_ = kKeepAlive;
      } else {
        // Nothing to write: wait without holding the connection's thread. Wake resumes.
        suspended_ = true;
        MHD_suspend_connection(connection_);
        return 0;
      }
    }
  }
  size_t n = std::min(max, pending_.size() - pending_offset_);
  std::memcpy(buf, pending_.data() + pending_offset_, n);
  pending_offset_ += n;
  while (!in_flight_.empty() && in_flight_.front().end <= pending_offset_) in_flight_.pop_front();
  last_write_ = std::chrono::steady_clock::now();
  return static_cast<ssize_t>(n);
}

void EventStream::Wake() {
  MutexLock g(&mu_);
  if (suspended_ && !closed_) {
    suspended_ = false;
    MHD_resume_connection(connection_);
  }
}

void EventStream::End() {
  {
    MutexLock g(&mu_);
    ended_ = true;
  }
  Wake();
}

void EventStream::Closed() {
  std::shared_ptr<EventQueue::Subscriber> subscriber;
  std::deque<BridgeEvent> unwritten;
  {
    MutexLock g(&mu_);
    if (closed_) return;
    closed_ = true;
    subscriber = std::move(subscriber_);
    for (InFlight& f : in_flight_) unwritten.push_back(std::move(f.event));
    in_flight_.clear();
  }
  if (subscriber) {
    // Taken but not handed out whole: back to the head of the queue, then (this being the last
    // stream) into the backlog for the next one.
    if (!unwritten.empty()) session_->events()->PutBack(subscriber.get(), std::move(unwritten));
    session_->events()->Unsubscribe(subscriber);
  }
  session_->ReleaseStream();
}

bool EventStream::PeerClosed() const {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection_, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info == nullptr) return false;
  // The client sends nothing after its request: a peek that finds the end of the stream (or an
  // error) means it has gone; nothing to read means it is still there.
  char byte = 0;
  ssize_t n = recv(info->connect_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n == 0) return true;
  return n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
}

}  // namespace zel::bridge
