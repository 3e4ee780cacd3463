// LoginEndpoint: how a web page signs a person in on the TCP listener without ever holding a
// token. The page posts the user name and user code; the reply sets the login cookie, and from
// then on the browser's cookie is the credential of every request (front_door.h).
//
//   POST /api/v1/login   {"user": "owner", "code": "1234"}  a new login session
//                        {} with the cookie                  renews the cookie's session
//   POST /api/v1/logout  (the cookie)                        ends it
//
// A successful login or renewal answers {"cookie", "user", "role", "expiresIn"} and sets
//   zelsession={...}; Path=/; HttpOnly; SameSite=Strict
// so the page's scripts cannot read the cookie and other sites cannot send it; a logout (and a
// renewal of an ended session) clears it. The server's own codes come back as Login gives them.
//
// A login is a code attempt of the identity "login USER" (the user name in lower case), with the
// same back-off as a wrong controller code: guesses at one person's code slow down whoever makes
// them, while the others still sign in.
//
// Decided: Login's argument-less system session (controller models 9 and 10) is not offered
// here, since it would hand a session to anyone who reaches the port.
//
// Thread contract: Login and Logout run on the bridge's workers, many at once; the gate and the
// back-off lock for themselves.
#pragma once

#include <string>
#include <string_view>

#include "bridge/access_policy.h"
#include "bridge/code_backoff.h"
#include "bridge/login_gate.h"
#include "bridge/operations.h"

namespace zel::bridge {

class LoginEndpoint {
 public:
  // All three outlive the endpoint; gate may be null (every login is then refused).
  LoginEndpoint(LoginGate* gate, CodeBackoff* backoff, const AccessPolicy* policy)
      : gate_(gate), backoff_(backoff), policy_(policy) {}

  // cookie: the request's login cookie, "" when it has none.
  Reply Login(std::string_view body, const std::string& cookie) const;
  Reply Logout(const std::string& cookie) const;

  // The Set-Cookie values of a login and of its end.
  static std::string SetCookie(const std::string& cookie);
  static std::string ClearCookie();

 private:
  Reply Opened(const std::string& cookie, const std::string& user) const;

  LoginGate* const gate_;
  CodeBackoff* const backoff_;
  const AccessPolicy* const policy_;
};

}  // namespace zel::bridge
