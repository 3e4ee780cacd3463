// ServerLogins: the server object's client login sessions (Login, Logout and their session list)
// as the bridge's login gate, so a login cookie is a credential of the bridge's TCP listener.
//
// Thread contract: every member may be called from any thread; mu_ guards server_. The server
// locks its session list itself; Close drops the server (the daemon calls it after the bridge
// has stopped), and every later call is refused.
#pragma once

#include <string>

#include "bridge/login_gate.h"
#include "platform/sync.h"
#include "server/zel_server.h"

namespace zel {

class ServerLogins : public bridge::LoginGate {
 public:
  explicit ServerLogins(ComPtr<CZelServer> server) : server_(std::move(server)) {}

  HRESULT Login(const std::string& user, const std::string& code, std::string* cookie) override;
  HRESULT Renew(const std::string& cookie) override;
  HRESULT Logout(const std::string& cookie) override;
  std::string LiveUser(const std::string& cookie) override;

  void Close();

 private:
  ComPtr<CZelServer> Server();

  Mutex mu_;
  ComPtr<CZelServer> server_ ZEL_GUARDED_BY(mu_);
};

}  // namespace zel
