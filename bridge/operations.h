// Operations: one POST /api/v1/automation request body in, one reply out. This is the whole
// protocol apart from the HTTP transport and the event streams, so it is tested without sockets.
//
// A request is a JSON object with "op" and the op's fields:
//   session                        -> "session": new session id (no session needed)
//   close                          ends the calling session
//   create    "class"              -> "result": the object (programmatic identifier or {class id})
//   get       "object", "member" | "dispid", "args"?             -> "result"
//   put       "object", "member" | "dispid", "args"?, "value"
//   putref    as put, by reference
//   call      "object", "member" | "dispid", "args"?             -> "result"
//   release   "object"
//   advise    "object", "interface"?                             -> "cookie", "interface"
//   unadvise  "object", "cookie"
//   callback  "name"?, "interface"?                              -> "result": a handler object
//             ("interface": IResponse, IStream or IHTMLDocument2, callback_destinations.h)
//   describe  "object"                                           -> "class", "members"
//   batch     "ops": [get, put, putref, call, release or describe requests]
//                                                                -> "replies", one per op
//   token     "action": "list"                                   -> "tokens": name, role, created
//             "action": "add", "name", "role"                    -> "name", "role", "token"
//             "action": "remove", "name"
//             (no session needed; admin only)
// A batch runs its operations in order in the one session, each exactly as on its own (roles,
// codes and back-off included); each reply carries its own status and "http", and a failed one
// does not stop the rest. It spares a client with many values to read a round trip per value.
// Every reply carries "status" (8 hex digits) and "statusName"; a failure adds "error" with the
// calling thread's error information (source, description, interface) when the object set it.
//
// Roles: get, put, putref and call run only when the caller's role covers the role tag of the
// accessor they would invoke; otherwise E_ACCESSDENIED (403) before anything runs. Accessors
// tagged in-process (the transport's request lock) are refused to every caller, and so is
// invoking an object that describes no members.
//
// Codes: a member with a code parameter (vtSecurityCode, vtCode) is a code attempt. A refused
// code (E_SRV_LOGIN_DENIED) starts or doubles the caller identity's back-off (code_backoff.h) and
// is written to the system log with the identity, never the code; while the back-off runs, code
// attempts of that identity are refused with E_BRIDGE_BACKOFF and "retryAfter" before they run.
//
// Tokens: the bearer tokens of the token store that zelctl manages too (the front door rereads
// the file at the next request). A new token is in the add reply and nowhere else: the list has
// names, roles and creation times, never tokens or hashes, and the system log names the token
// and who changed it, never the token.
//
// Sessions belong to the identity that opened them; member and callback names are at most
// kMaxNameLength characters.
//
// Thread contract: Handle may run on many threads at once; sessions do their own locking. Calls
// into objects run on the calling thread, which is why the HTTP front end runs Handle on workers.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "bridge/caller.h"
#include "bridge/code_backoff.h"
#include "bridge/session.h"
#include "bridge/token_store.h"
#include "bridge/variant_json.h"

namespace zel::bridge {

struct Reply {
  int http_status = 200;
  Json body;
  std::string set_cookie;  // a Set-Cookie header for the reply, when not empty
};

// A reply carrying only a status code (and, on failure, a description).
Reply StatusReply(HRESULT hr, std::string_view description = {});

// Nesting deeper than this in a request body is refused before it is parsed.
inline constexpr int kMaxJsonDepth = 32;
// The most operations one batch may hold.
inline constexpr size_t kMaxBatchOps = 4096;

class Operations {
 public:
  // tokens: the store the token op manages; null answers that op "not available".
  explicit Operations(SessionTable* sessions, std::shared_ptr<TokenStore> tokens = nullptr)
      : sessions_(sessions), tokens_(std::move(tokens)) {}

  // session_id: from the X-Zel-Session header, "" when absent (the body's "session" field is
  // used then). caller: who sent it, as the front end established.
  Reply Handle(const Caller& caller, std::string_view session_id, std::string_view body);

  // The wrong-code back-off of every identity (the login endpoint's too).
  CodeBackoff* backoff() { return &backoff_; }

 private:
  // One operation on the objects of a session that the caller has been admitted to.
  Reply RunOne(const std::string& op, const Json& j, const Caller& caller,
               const std::shared_ptr<Session>& session);
  Reply Batch(const Json& j, const Caller& caller, const std::shared_ptr<Session>& session);
  Reply Token(const Json& j, const Caller& caller);

  SessionTable* sessions_;
  const std::shared_ptr<TokenStore> tokens_;
  CodeBackoff backoff_;
};

// True when the JSON text nests arrays and objects no deeper than max_depth (strings are skipped;
// the text need not be valid JSON).
bool JsonDepthWithin(std::string_view text, int max_depth);

}  // namespace zel::bridge
