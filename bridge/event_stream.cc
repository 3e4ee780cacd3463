#include "bridge/event_stream.h"

#include <cstring>

#include "bridge/variant_json.h"
#include "platform/sync.h"

namespace zel::bridge {
namespace {

// Events formatted in one go before the connection writes them.
constexpr int kEventsPerFill = 32;
// The first bytes of every stream: the client learns at once that the stream is open, and a
// browser's EventSource waits 2 s before reconnecting.
constexpr const char* kStreamPreamble = ": zelcommsrv events\nretry: 2000\n\n";
constexpr const char* kKeepAlive = ": keepalive\n\n";

}  // namespace

EventStream::EventStream(MHD_Connection* connection, std::shared_ptr<Session> session,
                         std::chrono::milliseconds heartbeat)
    : connection_(connection),
      session_(std::move(session)),
      heartbeat_(heartbeat),
      pending_(kStreamPreamble),
      last_write_(std::chrono::steady_clock::now()) {}

EventStream::~EventStream() { Closed(); }

void EventStream::Attach() {
  std::weak_ptr<EventStream> weak = weak_from_this();
  auto subscriber = session_->events()->Subscribe([weak] {
    if (auto self = weak.lock()) self->Wake();
  });
  MutexLock g(&mu_);
  subscriber_ = std::move(subscriber);
}

std::string EventStream::Format(const BridgeEvent& event, ObjectResolver* resolver) {
  Json args = Json::array();
  for (const Variant& v : event.args) args.push_back(EncodeVariant(v, resolver));
  Json j = Json::object();
  if (event.seq != 0) j["seq"] = event.seq;
  j["interface"] = event.interface_name;
  j["member"] = event.member;
  if (event.dispid != DISPID_UNKNOWN) j["dispid"] = event.dispid;
  if (!event.source.empty()) j["source"] = event.source;
  j["arguments"] = std::move(args);
  std::string text;
  if (event.seq != 0) text = "id: " + std::to_string(event.seq) + "\n";
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
    BridgeEvent event;
    for (int n = 0;
         n < kEventsPerFill && subscriber_ && session_->events()->Pop(subscriber_.get(), &event);
         ++n) {
      try {
        pending_ += Format(event, &session_->handles());
      } catch (...) {
        // An event that cannot be written is skipped; the stream goes on.
      }
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
  {
    MutexLock g(&mu_);
    if (closed_) return;
    closed_ = true;
    subscriber = std::move(subscriber_);
  }
  if (subscriber) session_->events()->Unsubscribe(subscriber);
  session_->ReleaseStream();
}

}  // namespace zel::bridge
