// Caller: who sent a request to the bridge and the role the bridge grants them.
//
// The front end works this out for every request (from the peer's credentials on the Unix
// socket, from the bearer token or the login cookie on TCP) before anything runs; Operations checks
// each member's role tag against it.
//
// Thread contract: a plain value, copied into each request.
#pragma once

#include <string>

#include "platform/dispatch.h"

namespace zel::bridge {

struct Caller {
  // Names the caller in logs and keys the per-identity limits: "uid 1000", "token backup",
  // "login owner". Never holds a secret.
  std::string identity;
  Role role = Role::kUntagged;  // kUntagged: may do nothing
  // The login cookie the request came with, when that was its credential: what the caller holds
  // (an event stream, say) ends with the login session.
  std::string login_cookie;
};

}  // namespace zel::bridge
