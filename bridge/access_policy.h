// AccessPolicy: who may use the bridge and how, read from "access.json" in the instance directory
// (mode 0600). Everything is optional; a missing file means the defaults.
//
//   {
//     "unix":   {"users": {"alice": "control"}, "groups": {"zelread": "read"}},
//     "tcp":    {"enabled": true, "port": 8714, "hosts": ["alarm.home.lan"],
//                "origins": ["http://alarm.home.lan:8714"]},
//     "login":  {"role": "control", "users": {"owner": "admin"}},
//     "limits": {"sessionsPerIdentity": 32, "connectionsPerPeer": 32}
//   }
//
// On the Unix socket the peer's credentials decide: an entry for the user wins; otherwise the
// highest role any of the peer's groups (primary and supplementary) is given; otherwise root, the
// daemon's own user and the daemon's own group are admin and everyone else has no role. On TCP
// a bearer token (token_store.h) gives its role; a login cookie gives the role "login" names for
// the session's user (user names ignore letter case, as the login does), else "login"'s "role",
// else control.
//
// Thread contract: a loaded policy is an immutable value, read from any thread.
#pragma once

#include <sys/types.h>

#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch.h"
#include "platform/status.h"

namespace zel::bridge {

inline constexpr const char* kPolicyFileName = "access.json";

struct AccessPolicy {
  std::map<uid_t, Role> users;   // resolved from names (or numbers) when loaded
  std::map<gid_t, Role> groups;  // likewise
  bool tcp_enabled = false;
  int tcp_port = -1;                 // -1: the daemon's choice
  std::vector<std::string> hosts;    // Host names accepted on TCP besides the loopback ones
  std::vector<std::string> origins;  // Origin values accepted on TCP (exact match)
  // The role of a login session's user on TCP: login_users (keys in lower case), else login_role.
  // Left to the implementer: control by default, since a user code works the keypad.
  std::map<std::string, Role> login_users;
  Role login_role = Role::kControl;
  size_t sessions_per_identity = 32;
  size_t connections_per_peer = 32;
  // The identities that hold admin when the policy says nothing about a peer.
  uid_t service_uid = 0;
  gid_t service_gid = 0;
};

// Reads the policy file. A missing file gives the defaults (S_FALSE). Unreadable or malformed
// JSON, an unknown role, or a user or group name that does not exist: E_INVALIDARG with the
// reason in *error (the daemon refuses to start rather than guess).
HRESULT LoadAccessPolicy(const std::string& path, AccessPolicy* policy, std::string* error);

// The role of a local peer with these credentials; kUntagged for none.
Role RoleForPeer(const AccessPolicy& policy, uid_t uid, gid_t gid, std::span<const gid_t> groups);
// The role a login session of `user` is given on TCP.
Role RoleForLogin(const AccessPolicy& policy, std::string_view user);

}  // namespace zel::bridge
