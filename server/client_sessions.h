// ClientSessions: the login sessions of web clients (CZelServer::Login and Logout). A person is
// known by a user name and a controller user code; a successful login hands out a cookie (a fresh
// GUID in registry form) that the client renews by logging in with the cookie alone and ends with
// Logout. A session lives 15 minutes after its login or its last renewal.
//
// Bounded memory: every Create, Renew and Remove first sweeps the expired sessions out of the
// list, and at most kDefaultLiveLimit sessions may be live at once (E_SRV_SESSION_LIMIT beyond).
// A swept session leaves its cookie behind (no user, no code) for one more lifetime, at most
// kMaxSweptCookies of them, so that its owner still hears "session expired" rather than "login
// refused", and a Logout of it still succeeds, as when it had stayed in the list.
//
// Times are the process clock's monotonic time (platform/clock.h): a change of the wall clock or
// of daylight saving neither ends nor lengthens a session, and tests move the clock by hand.
//
// Thread contract: every member may be called from any thread; mu_ guards all fields.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <list>
#include <string>

#include "platform/clock.h"
#include "platform/guid.h"
#include "platform/status.h"
#include "platform/sync.h"

namespace zel {

// As many client sessions are live as the server keeps.
inline constexpr HRESULT E_SRV_SESSION_LIMIT = MakeHresult(0xC0000008);

class ClientSessions {
 public:
  // 15 minutes: 9,000,000,000 units of 100 ns.
  static constexpr Millis kLifetime{15 * 60 * 1000};
  static constexpr size_t kDefaultLiveLimit = 1000;
  static constexpr size_t kMaxSweptCookies = 1000;

  explicit ClientSessions(size_t live_limit = kDefaultLiveLimit) : live_limit_(live_limit) {}

  // A new session for `user` and `code` (both compared exactly): the cookie text in *cookie.
  // A live session of the same pair: E_SRV_SESSION_ACTIVE. The live limit reached:
  // E_SRV_SESSION_LIMIT.
  HRESULT Create(const std::string& user, const std::string& code, std::string* cookie);
  // Renews the session whose cookie text equals `cookie` exactly: S_OK. Its session has expired:
  // E_SRV_SESSION_EXPIRED (and it is gone). No such session: E_SRV_LOGIN_DENIED.
  HRESULT Renew(const std::string& cookie);
  // Ends the session of `cookie`: S_OK (also for a session that had expired). No session was
  // ever created, or none has this cookie: E_FAIL.
  HRESULT Remove(const GUID& cookie);
  // The user of a live session (empty when there is none), and its code when `code` is given.
  std::string UserOf(const std::string& cookie, std::string* code = nullptr);

  // True once a session has been created (the session list exists).
  bool exists();
  // Session records held (live or expired but not yet swept) and swept cookies kept.
  size_t records();
  size_t swept_cookies();

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  struct Record {
    GUID cookie;
    std::string cookie_text;
    std::string user;
    std::string code;
    TimePoint time;  // of login or of the last renewal
  };
  struct Swept {
    GUID cookie;
    std::string cookie_text;
    TimePoint expired;  // when its record was swept
  };
  static bool Live(const Record& r, TimePoint now) { return now <= r.time + kLifetime; }
  // Moves expired records to swept_ and forgets swept cookies older than one lifetime.
  void Sweep(TimePoint now) ZEL_REQUIRES(mu_);

  const size_t live_limit_;
  Mutex mu_;
  bool list_exists_ ZEL_GUARDED_BY(mu_) = false;   // since the first session was created
  std::list<Record> records_ ZEL_GUARDED_BY(mu_);  // in order of creation
  std::deque<Swept> swept_ ZEL_GUARDED_BY(mu_);    // oldest first
};

}  // namespace zel
