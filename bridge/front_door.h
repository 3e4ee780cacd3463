// FrontDoor: who a request comes from, and whether it gets in at all, decided from what the
// connection and the request headers show before any body is read or anything runs.
//
//   Unix socket  the peer's credentials from the kernel (SO_PEERCRED, SO_PEERGROUPS) and the
//                policy file give the role; identity "uid N".
//   TCP          the Host header must name this machine (127.0.0.1, localhost or [::1], with or
//                without the listening port) or a name the policy allows; an Origin header must
//                be one the policy allows or the bridge's own (http:// and the Host header); then
//                either a bearer token from the token store gives the role (identity
//                "token NAME"), or a login cookie ("zelsession") of a live login session gives
//                the role the policy grants its user (identity "login USER", in lower case).
//                The login endpoints need only the Host and Origin checks (CheckSite).
//
// Thread contract: Admit runs on the HTTP library's threads, many at once; the policy is
// immutable, the token store and the login gate lock themselves. set_tcp_port is called once
// before serving.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "bridge/access_policy.h"
#include "bridge/caller.h"
#include "bridge/login_gate.h"
#include "bridge/token_store.h"

namespace zel::bridge {

struct RequestFacts {
  bool tcp = false;
  int fd = -1;                     // the connection's socket (Unix: for the peer's credentials)
  std::string_view authorization;  // the Authorization header, "" when absent
  std::string_view host;           // the Host header, "" when absent
  const char* origin = nullptr;    // the Origin header, null when absent
  std::string_view login_cookie;   // the value of the "zelsession" cookie, "" when absent
};

class FrontDoor {
 public:
  // logins may be null: then no login cookie is accepted.
  FrontDoor(AccessPolicy policy, std::shared_ptr<TokenStore> tokens,
            std::shared_ptr<LoginGate> logins = nullptr)
      : policy_(std::move(policy)), tokens_(std::move(tokens)), logins_(std::move(logins)) {}

  // S_OK with *caller; otherwise the refusal's status code and a description for the client.
  HRESULT Admit(const RequestFacts& facts, Caller* caller, std::string* why) const;
  // The Host and Origin checks of a TCP request alone: S_OK, or the refusal as Admit gives it.
  HRESULT CheckSite(const RequestFacts& facts, std::string* why) const;

  // The local peer key a connection counts against for the per-peer limit: "uid N" on the Unix
  // socket, the peer address on TCP; "" when it cannot be told.
  static std::string PeerKey(int fd, bool tcp);

  void set_tcp_port(uint16_t port) { tcp_port_ = port; }
  const AccessPolicy& policy() const { return policy_; }
  LoginGate* logins() const { return logins_.get(); }

 private:
  HRESULT AdmitUnix(int fd, Caller* caller, std::string* why) const;
  HRESULT AdmitTcp(const RequestFacts& facts, Caller* caller, std::string* why) const;
  bool HostAllowed(std::string_view host) const;

  const AccessPolicy policy_;
  std::shared_ptr<TokenStore> tokens_;
  std::shared_ptr<LoginGate> logins_;
  std::atomic<uint16_t> tcp_port_{0};
};

}  // namespace zel::bridge
