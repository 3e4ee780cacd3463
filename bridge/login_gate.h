// LoginGate: the server's login sessions as the bridge sees them. A person logs in with a user
// name and a controller user code and gets a session cookie; on TCP the bridge takes that cookie
// (the "zelsession" cookie) as the credential of each request while its session is live.
//
// The daemon implements it over the server object; the bridge's tests over a table of their own.
//
// Thread contract: every member may be called from any thread, many at once (the HTTP library's
// threads, the workers and the housekeeping thread); implementations lock for themselves.
#pragma once

#include <string>

#include "platform/status.h"

namespace zel::bridge {

class LoginGate {
 public:
  virtual ~LoginGate() = default;
  // A new session for the user and the code: S_OK and its cookie; otherwise the server's code
  // (E_SRV_LOGIN_DENIED, E_SRV_SESSION_ACTIVE, ...), its error information set on this thread.
  virtual HRESULT Login(const std::string& user, const std::string& code, std::string* cookie) = 0;
  // Renews the session of `cookie`: S_OK; E_SRV_SESSION_EXPIRED, E_SRV_LOGIN_DENIED otherwise.
  virtual HRESULT Renew(const std::string& cookie) = 0;
  // Ends the session of `cookie`.
  virtual HRESULT Logout(const std::string& cookie) = 0;
  // The user of the live session `cookie`; "" when it has none (expired, ended, unknown).
  virtual std::string LiveUser(const std::string& cookie) = 0;
};

}  // namespace zel::bridge
