#include "server/client_sessions.h"

#include <algorithm>

namespace zel {

void ClientSessions::Sweep(TimePoint now) {
  for (auto it = records_.begin(); it != records_.end();) {
    if (Live(*it, now)) {
      ++it;
      continue;
    }
    swept_.push_back(Swept{it->cookie, std::move(it->cookie_text), now});
    it = records_.erase(it);  // the user and the code go with it
  }
  while (!swept_.empty() &&
         (swept_.size() > kMaxSweptCookies || now > swept_.front().expired + kLifetime)) {
    swept_.pop_front();
  }
}

HRESULT ClientSessions::Create(const std::string& user, const std::string& code,
                               std::string* cookie) {
  MutexLock g(&mu_);
  const TimePoint now = Clock::Get()->Now();
  Sweep(now);
  for (const Record& r : records_) {
    if (r.user == user && r.code == code) return E_SRV_SESSION_ACTIVE;
  }
  if (records_.size() >= live_limit_) return E_SRV_SESSION_LIMIT;
  Record r{NewGuid(), {}, user, code, now};
  r.cookie_text = GuidToString(r.cookie);
  *cookie = r.cookie_text;
  records_.push_back(std::move(r));
  list_exists_ = true;
  return S_OK;
}

HRESULT ClientSessions::Renew(const std::string& cookie) {
  MutexLock g(&mu_);
  const TimePoint now = Clock::Get()->Now();
  Sweep(now);
  for (Record& r : records_) {
    if (r.cookie_text == cookie) {
      r.time = now;
      return S_OK;
    }
  }
  auto swept = std::find_if(swept_.begin(), swept_.end(),
                            [&](const Swept& s) { return s.cookie_text == cookie; });
  if (swept == swept_.end()) return E_SRV_LOGIN_DENIED;
  swept_.erase(swept);  // told once, as when the renewal itself had found it expired
  return E_SRV_SESSION_EXPIRED;
}

HRESULT ClientSessions::Remove(const GUID& cookie) {
  MutexLock g(&mu_);
  if (!list_exists_) return E_FAIL;
  Sweep(Clock::Get()->Now());
  auto it = std::find_if(records_.begin(), records_.end(),
                         [&](const Record& r) { return r.cookie == cookie; });
  if (it != records_.end()) {
    records_.erase(it);
    return S_OK;
  }
  auto swept = std::find_if(swept_.begin(), swept_.end(),
                            [&](const Swept& s) { return s.cookie == cookie; });
  if (swept == swept_.end()) return E_FAIL;
  swept_.erase(swept);
  return S_OK;
}

std::string ClientSessions::UserOf(const std::string& cookie, std::string* code) {
  MutexLock g(&mu_);
  const TimePoint now = Clock::Get()->Now();
  for (const Record& r : records_) {
    if (r.cookie_text != cookie || !Live(r, now)) continue;
    if (code != nullptr) *code = r.code;
    return r.user;
  }
  return {};
}

bool ClientSessions::exists() {
  MutexLock g(&mu_);
  return list_exists_;
}

size_t ClientSessions::records() {
  MutexLock g(&mu_);
  return records_.size();
}

size_t ClientSessions::swept_cookies() {
  MutexLock g(&mu_);
  return swept_.size();
}

}  // namespace zel
