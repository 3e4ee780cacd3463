#include "bridge/session.h"

#include <sys/random.h>

#include <algorithm>
#include <cstdio>

#include "bridge/protocol.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace zel::bridge {

std::string NewSessionId() {
  uint8_t bytes[16] = {};
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  std::string id;
  char hex[3];
  for (uint8_t b : bytes) {
    std::snprintf(hex, sizeof hex, "%02x", b);
    id += hex;
  }
  return id;
}

Session::Session(std::string id, std::string owner, const SessionLimits& limits)
    : id_(std::move(id)),
      owner_(std::move(owner)),
      limits_(limits),
      handles_(limits.max_handles),
      events_(std::make_shared<EventQueue>(limits.event_queue_limit)),
      last_use_(Clock::Get()->Now()) {}

Session::~Session() { Close(); }

void Session::BeginRequest() {
  MutexLock g(&mu_);
  ++requests_;
  last_use_ = Clock::Get()->Now();
}

void Session::EndRequest() {
  MutexLock g(&mu_);
  --requests_;
  last_use_ = Clock::Get()->Now();
}

HRESULT Session::AcquireStream() {
  MutexLock g(&mu_);
  if (closed_) return E_SRV_SESSION_EXPIRED;
  if (streams_ >= limits_.max_streams) return E_BRIDGE_STREAM_LIMIT;
  ++streams_;
  return S_OK;
}

void Session::ReleaseStream() {
  MutexLock g(&mu_);
  if (streams_ > 0) --streams_;
  last_use_ = Clock::Get()->Now();
}

size_t Session::stream_count() const {
  MutexLock g(&mu_);
  return streams_;
}

HRESULT Session::ReserveAdvise() {
  MutexLock g(&mu_);
  if (closed_) return E_SRV_SESSION_EXPIRED;
  if (advises_.size() + advise_reserved_ >= limits_.max_advises) return E_BRIDGE_ADVISE_LIMIT;
  ++advise_reserved_;
  return S_OK;
}

void Session::CancelAdvise() {
  MutexLock g(&mu_);
  --advise_reserved_;
}

void Session::AddAdvise(std::string handle, uint32_t cookie, ComPtr<IConnectionPoint> point) {
  {
    MutexLock g(&mu_);
    --advise_reserved_;
    if (!closed_) {
      advises_.push_back(Advise{std::move(handle), cookie, std::move(point)});
      return;
    }
  }
  // The session ended while the sink was being connected: disconnect it again.
  (void)point->Unadvise(cookie);
}

HRESULT Session::Unadvise(const std::string& handle, uint32_t cookie) {
  Advise found;
  {
    MutexLock g(&mu_);
    auto it = std::find_if(advises_.begin(), advises_.end(), [&](const Advise& a) {
      return a.handle == handle && a.cookie == cookie;
    });
    if (it == advises_.end()) return CONNECT_E_NOCONNECTION;
    found = std::move(*it);
    advises_.erase(it);
  }
  return found.point->Unadvise(found.cookie);
}

bool Session::IdleAt(TimePoint now) const {
  MutexLock g(&mu_);
  return requests_ == 0 && streams_ == 0 && now - last_use_ >= limits_.idle_timeout;
}

void Session::Close() {
  std::vector<Advise> advises;
  {
    MutexLock g(&mu_);
    if (closed_) return;
    closed_ = true;
    advises.swap(advises_);
  }
  for (Advise& a : advises) (void)a.point->Unadvise(a.cookie);
  events_->Close();
  handles_.Close();
}

bool Session::closed() const {
  MutexLock g(&mu_);
  return closed_;
}

HRESULT SessionTable::Create(const std::string& owner, std::shared_ptr<Session>* out) {
  auto session = std::make_shared<Session>(NewSessionId(), owner, limits_);
  MutexLock g(&mu_);
  if (sessions_.size() >= limits_.max_sessions) return E_BRIDGE_SESSION_LIMIT;
  size_t owned = 0;
  for (const auto& [id, s] : sessions_) owned += s->owner() == owner;
  if (owned >= limits_.max_sessions_per_identity) return E_BRIDGE_IDENTITY_SESSION_LIMIT;
  sessions_.emplace(session->id(), session);
  *out = std::move(session);
  return S_OK;
}

HRESULT SessionTable::Find(const std::string& id, const std::string& owner,
                           std::shared_ptr<Session>* out) {
  MutexLock g(&mu_);
  auto it = sessions_.find(id);
  if (it == sessions_.end() || it->second->owner() != owner) return E_SRV_SESSION_EXPIRED;
  *out = it->second;
  return S_OK;
}

HRESULT SessionTable::Close(const std::string& id) {
  std::shared_ptr<Session> session;
  {
    MutexLock g(&mu_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return E_SRV_SESSION_EXPIRED;
    session = std::move(it->second);
    sessions_.erase(it);
  }
  session->Close();
  return S_OK;
}

size_t SessionTable::ExpireIdle(Session::TimePoint now) {
  std::vector<std::shared_ptr<Session>> expired;
  {
    MutexLock g(&mu_);
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      if (it->second->IdleAt(now)) {
        expired.push_back(std::move(it->second));
        it = sessions_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& s : expired) s->Close();
  return expired.size();
}

void SessionTable::CloseAll() {
  std::map<std::string, std::shared_ptr<Session>> all;
  {
    MutexLock g(&mu_);
    all.swap(sessions_);
  }
  for (auto& [id, s] : all) s->Close();
}

size_t SessionTable::size() const {
  MutexLock g(&mu_);
  return sessions_.size();
}

}  // namespace zel::bridge
