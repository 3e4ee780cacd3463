#include "bridge/front_door.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>

#include "bridge/protocol.h"
#include "platform/text_encoding.h"

namespace zel::bridge {
namespace {

constexpr std::string_view kBearer = "Bearer ";
// The most supplementary groups of a peer looked at.
constexpr size_t kMaxPeerGroups = 256;

}  // namespace

HRESULT FrontDoor::Admit(const RequestFacts& facts, Caller* caller, std::string* why) const {
  return facts.tcp ? AdmitTcp(facts, caller, why) : AdmitUnix(facts.fd, caller, why);
}

HRESULT FrontDoor::AdmitUnix(int fd, Caller* caller, std::string* why) const {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (fd < 0 || getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
    *why = "the peer's credentials cannot be read";
    return E_BRIDGE_NO_ROLE;
  }
  gid_t groups[kMaxPeerGroups];
  socklen_t glen = sizeof groups;
  size_t count = 0;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &glen) == 0) count = glen / sizeof(gid_t);
  caller->identity = "uid " + std::to_string(cred.uid);
  caller->role = RoleForPeer(policy_, cred.uid, cred.gid, std::span<const gid_t>(groups, count));
  if (caller->role == Role::kUntagged) {
    *why = caller->identity + " has no role on this server";
    return E_BRIDGE_NO_ROLE;
  }
  return S_OK;
}

bool FrontDoor::HostAllowed(std::string_view host) const {
  std::string name(host);
  // Split off ":port"; an IPv6 literal keeps its brackets.
  size_t colon = name.rfind(':');
  if (colon != std::string::npos && name.find(']', colon) == std::string::npos) {
    std::string port = name.substr(colon + 1);
    name.resize(colon);
    if (port != std::to_string(tcp_port_.load())) return false;
  }
  for (std::string_view local : {"127.0.0.1", "localhost", "[::1]"}) {
    if (EqualsIgnoreAsciiCase(name, local)) return true;
  }
  return std::any_of(policy_.hosts.begin(), policy_.hosts.end(),
                     [&](const std::string& h) { return EqualsIgnoreAsciiCase(h, name); });
}

HRESULT FrontDoor::CheckSite(const RequestFacts& facts, std::string* why) const {
  if (!HostAllowed(facts.host)) {
    *why = "the Host header does not name this server";
    return E_BRIDGE_BAD_HOST;
  }
  if (facts.origin == nullptr) return S_OK;
  // A page the bridge serves itself comes from the origin its Host names, which the check above
  // has found to be this machine.
  if (std::string_view(facts.origin) == "http://" + std::string(facts.host)) return S_OK;
  if (std::find(policy_.origins.begin(), policy_.origins.end(), facts.origin) ==
      policy_.origins.end()) {
    *why = "requests from this Origin are not allowed";
    return E_BRIDGE_BAD_ORIGIN;
  }
  return S_OK;
}

HRESULT FrontDoor::AdmitTcp(const RequestFacts& facts, Caller* caller, std::string* why) const {
  caller->identity = "tcp";
  if (HRESULT hr = CheckSite(facts, why); Failed(hr)) return hr;
  if (!facts.authorization.empty()) {
    TokenEntry entry;
    if (facts.authorization.substr(0, kBearer.size()) != kBearer || !tokens_ ||
        !tokens_->Lookup(facts.authorization.substr(kBearer.size()), &entry)) {
      *why = "the token is not known (removed, mistyped or from another server)";
      return E_BRIDGE_BAD_TOKEN;
    }
    caller->identity = "token " + entry.name;
    caller->role = entry.role;
    return S_OK;
  }
  if (!facts.login_cookie.empty() && logins_) {
    std::string cookie(facts.login_cookie);
    std::string user = logins_->LiveUser(cookie);
    if (user.empty()) {
      *why = "the login session has ended (expired or logged out); log in again";
      return E_BRIDGE_LOGIN_ENDED;
    }
    // One person is one identity, however the name's letters were typed at login.
    caller->identity = "login " + AsciiToLower(user);
    caller->role = RoleForLogin(policy_, user);
    caller->login_cookie = std::move(cookie);
    return S_OK;
  }
  *why = "TCP requests need \"Authorization: Bearer <token>\" (zelctl token add) or a login cookie";
  return E_BRIDGE_NO_TOKEN;
}

std::string FrontDoor::PeerKey(int fd, bool tcp) {
  if (fd < 0) return {};
  if (!tcp) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return {};
    return "uid " + std::to_string(cred.uid);
  }
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {};
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&addr)->sin_addr, text, sizeof text);
  } else if (addr.ss_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&addr)->sin6_addr, text, sizeof text);
  }
  return text;
}

}  // namespace zel::bridge
