// Client sessions: what one client holds through the bridge.
//
// A session belongs to the identity that opened it (bridge/caller.h): only requests from that
// identity may use it, and each identity may hold a limited number of sessions.
//
// A session owns its handles (HandleTable), its event queue, the connections its sinks have on
// objects' outgoing interfaces, and the count of its open event streams. It ends when the client
// closes it or after it has been idle (no request running, no stream open) for the idle timeout;
// ending it disconnects its sinks, closes its event queue (ending its streams) and releases every
// handle.
//
// Session ids are 32 hex digits from the kernel's random source, so one local client cannot guess
// another's.
//
// Thread contract: Session and SessionTable members are safe from any thread. Session::mu_ guards
// the advise list, the counters and the last-use time; SessionTable::mu_ guards the map. Objects
// are released and sinks unadvised outside both locks.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/event_queue.h"
#include "bridge/handle_table.h"
#include "platform/connection_point.h"
#include "platform/sync.h"

namespace zel::bridge {

struct SessionLimits {
  size_t max_sessions = 256;
  size_t max_handles = 4096;
  size_t max_streams = 4;
  size_t max_advises = 64;
  size_t event_queue_limit = 1024;
  size_t max_sessions_per_identity = 32;
  std::chrono::milliseconds idle_timeout = std::chrono::minutes(10);
};

class Session {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  Session(std::string id, std::string owner, const SessionLimits& limits);
  ~Session();

  const std::string& id() const { return id_; }
  const std::string& owner() const { return owner_; }
  HandleTable& handles() { return handles_; }
  const std::shared_ptr<EventQueue>& events() const { return events_; }
  const SessionLimits& limits() const { return limits_; }

  // A request runs for this session from Begin to End; the session does not expire meanwhile.
  void BeginRequest();
  void EndRequest();
  // An event stream is open. E_BRIDGE_STREAM_LIMIT when the session has its maximum already.
  HRESULT AcquireStream();
  void ReleaseStream();
  size_t stream_count() const;

  // Records a sink connection (for unadvising at the end). E_BRIDGE_ADVISE_LIMIT when full.
  HRESULT ReserveAdvise();
  void CancelAdvise();
  void AddAdvise(std::string handle, uint32_t cookie, ComPtr<IConnectionPoint> point);
  // Removes the record and unadvises; CONNECT_E_NOCONNECTION when there is none.
  HRESULT Unadvise(const std::string& handle, uint32_t cookie);

  // True when no request runs, no stream is open and the last use is older than the timeout.
  bool IdleAt(TimePoint now) const;
  // Ends the session (idempotent).
  void Close();
  bool closed() const;

 private:
  struct Advise {
    std::string handle;
    uint32_t cookie;
    ComPtr<IConnectionPoint> point;
  };

  const std::string id_;
  const std::string owner_;
  const SessionLimits limits_;
  HandleTable handles_;
  std::shared_ptr<EventQueue> events_;

  mutable Mutex mu_;
  bool closed_ ZEL_GUARDED_BY(mu_) = false;
  size_t requests_ ZEL_GUARDED_BY(mu_) = 0;
  size_t streams_ ZEL_GUARDED_BY(mu_) = 0;
  size_t advise_reserved_ ZEL_GUARDED_BY(mu_) = 0;
  TimePoint last_use_ ZEL_GUARDED_BY(mu_);
  std::vector<Advise> advises_ ZEL_GUARDED_BY(mu_);
};

// Holds a session's request count for a scope.
class SessionRequest {
 public:
  explicit SessionRequest(std::shared_ptr<Session> s) : s_(std::move(s)) { s_->BeginRequest(); }
  ~SessionRequest() { s_->EndRequest(); }
  SessionRequest(const SessionRequest&) = delete;
  SessionRequest& operator=(const SessionRequest&) = delete;

 private:
  std::shared_ptr<Session> s_;
};

class SessionTable {
 public:
  explicit SessionTable(SessionLimits limits) : limits_(limits) {}
  ~SessionTable() { CloseAll(); }

  // A new session for owner. E_BRIDGE_SESSION_LIMIT when the table is full,
  // E_BRIDGE_IDENTITY_SESSION_LIMIT when the owner holds its maximum already.
  HRESULT Create(const std::string& owner, std::shared_ptr<Session>* out);
  // The live session with this id that belongs to owner. E_SRV_SESSION_EXPIRED when there is
  // none (unknown, closed, expired or another identity's: the bridge does not remember old ids,
  // nor tells whose a session is).
  HRESULT Find(const std::string& id, const std::string& owner, std::shared_ptr<Session>* out);
  // Ends a session; E_SRV_SESSION_EXPIRED when unknown.
  HRESULT Close(const std::string& id);
  // Ends every session idle at `now`; returns how many ended.
  size_t ExpireIdle(Session::TimePoint now);
  void CloseAll();
  size_t size() const;
  const SessionLimits& limits() const { return limits_; }

 private:
  const SessionLimits limits_;
  mutable Mutex mu_;
  std::map<std::string, std::shared_ptr<Session>> sessions_ ZEL_GUARDED_BY(mu_);
};

// 32 random hex digits.
std::string NewSessionId();

}  // namespace zel::bridge
