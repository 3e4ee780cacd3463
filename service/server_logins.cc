#include "service/server_logins.h"

#include "platform/variant.h"

namespace zel {

ComPtr<CZelServer> ServerLogins::Server() {
  MutexLock g(&mu_);
  return server_;
}

void ServerLogins::Close() {
  ComPtr<CZelServer> dropped;
  MutexLock g(&mu_);
  dropped = std::move(server_);
}

HRESULT ServerLogins::Login(const std::string& user, const std::string& code, std::string* cookie) {
  ComPtr<CZelServer> server = Server();
  if (!server) return E_SRV_LOGIN_DENIED;
  Variant opened;
  HRESULT hr = server->Login(Variant::Str(BStr(user)), Variant::Str(BStr(code)), &opened);
  if (Succeeded(hr)) *cookie = opened.bstr().str();
  return hr;
}

HRESULT ServerLogins::Renew(const std::string& cookie) {
  ComPtr<CZelServer> server = Server();
  if (!server) return E_SRV_LOGIN_DENIED;
  Variant renewed;
  return server->Login(Variant::Str(BStr(cookie)), Variant::Missing(), &renewed);
}

HRESULT ServerLogins::Logout(const std::string& cookie) {
  ComPtr<CZelServer> server = Server();
  if (!server) return E_FAIL;
  return server->Logout(Variant::Str(BStr(cookie)));
}

std::string ServerLogins::LiveUser(const std::string& cookie) {
  ComPtr<CZelServer> server = Server();
  return server ? server->PersonOfCookie(cookie) : std::string();
}

}  // namespace zel
