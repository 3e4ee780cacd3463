// The bridge protocol's shared vocabulary: the bridge's own status codes, the mapping from a
// status code to the HTTP status of the reply, and the text form of status codes in replies.
//
// A reply's HTTP status says whether the bridge served the request; the JSON body always carries
// the exact 32-bit status code. Success is 200. A refusal by the bridge itself (malformed request,
// unknown session or handle, a limit reached) and the dispatch layer's refusals (no such member,
// wrong argument count or type) get a 4xx status; a member that ran and failed is still 200, with
// the failure in the body.
//
// Thread contract: stateless.
#pragma once

#include <string>

#include "platform/status.h"

namespace zel::bridge {

// The bridge's own codes (severity bits 11, facility 5).
// The request is not well-formed: bad JSON, not an object, unknown "op", a missing field.
inline constexpr HRESULT E_BRIDGE_BAD_REQUEST = MakeHresult(0xC0050001);
// The request body is over the configured size limit.
inline constexpr HRESULT E_BRIDGE_BODY_TOO_LARGE = MakeHresult(0xC0050002);
// The session already holds its maximum number of handles.
inline constexpr HRESULT E_BRIDGE_HANDLE_LIMIT = MakeHresult(0xC0050003);
// The session already has its maximum number of event streams open.
inline constexpr HRESULT E_BRIDGE_STREAM_LIMIT = MakeHresult(0xC0050004);
// Every worker is busy and the request queue is full, or the bridge is shutting down.
inline constexpr HRESULT E_BRIDGE_BUSY = MakeHresult(0xC0050005);
// The request names no session (no X-Zel-Session header, "session" field or query argument).
inline constexpr HRESULT E_BRIDGE_NO_SESSION = MakeHresult(0xC0050006);
// The bridge already serves its maximum number of sessions.
inline constexpr HRESULT E_BRIDGE_SESSION_LIMIT = MakeHresult(0xC0050007);
// No such endpoint (URL path).
inline constexpr HRESULT E_BRIDGE_NO_ENDPOINT = MakeHresult(0xC0050008);
// The endpoint exists but not for this HTTP method.
inline constexpr HRESULT E_BRIDGE_BAD_METHOD = MakeHresult(0xC0050009);
// The session already holds its maximum number of outgoing-interface connections.
inline constexpr HRESULT E_BRIDGE_ADVISE_LIMIT = MakeHresult(0xC005000A);
// The HTTP library would not start serving a listening socket.
inline constexpr HRESULT E_BRIDGE_LISTEN_FAILED = MakeHresult(0xC005000B);
// The caller on the Unix socket has no role (the policy gives its user and groups none).
inline constexpr HRESULT E_BRIDGE_NO_ROLE = MakeHresult(0xC005000C);
// A TCP request without "Authorization: Bearer <token>".
inline constexpr HRESULT E_BRIDGE_NO_TOKEN = MakeHresult(0xC005000D);
// A TCP request whose bearer token the token store does not hold.
inline constexpr HRESULT E_BRIDGE_BAD_TOKEN = MakeHresult(0xC005000E);
// A TCP request whose Host header names neither this machine nor a name the policy allows.
inline constexpr HRESULT E_BRIDGE_BAD_HOST = MakeHresult(0xC005000F);
// A TCP request with an Origin header the policy does not allow.
inline constexpr HRESULT E_BRIDGE_BAD_ORIGIN = MakeHresult(0xC0050010);
// A member or callback name longer than kMaxNameLength.
inline constexpr HRESULT E_BRIDGE_NAME_TOO_LONG = MakeHresult(0xC0050011);
// The caller's identity already holds its maximum number of sessions.
inline constexpr HRESULT E_BRIDGE_IDENTITY_SESSION_LIMIT = MakeHresult(0xC0050012);
// The request line or the request headers are over their size limits.
inline constexpr HRESULT E_BRIDGE_HEADERS_TOO_LARGE = MakeHresult(0xC0050013);
// A wrong code from this identity: no code is tried for it until its back-off has passed.
inline constexpr HRESULT E_BRIDGE_BACKOFF = MakeHresult(0xC0050014);
// The peer already has its maximum number of connections open (the connection is closed; the
// code appears in the system log only).
inline constexpr HRESULT E_BRIDGE_PEER_CONNECTION_LIMIT = MakeHresult(0xC0050015);
// A connection that did not complete its request headers in time (closed; logged only).
inline constexpr HRESULT E_BRIDGE_HEADER_TIMEOUT = MakeHresult(0xC0050016);
// A TCP request whose login cookie names no live login session (expired, logged out, unknown).
inline constexpr HRESULT E_BRIDGE_LOGIN_ENDED = MakeHresult(0xC0050017);
// An unknown or expired session id uses the server's "client session expired" code
// (E_SRV_SESSION_EXPIRED); an unknown handle uses E_HANDLE.

// The longest member or callback name accepted.
inline constexpr size_t kMaxNameLength = 256;

// The HTTP status of a reply carrying status code hr.
int HttpStatusFor(HRESULT hr);

// "80020006": the 8-digit upper-case hex form of a status code used in replies.
std::string StatusText(HRESULT hr);
// The symbolic name of a status code, the bridge's own codes included ("E_BRIDGE_BAD_REQUEST").
std::string StatusNameOf(HRESULT hr);
// Parses the 8-digit form (with or without a "0x" prefix); false when it is not one.
bool ParseStatusText(const std::string& text, HRESULT* hr);

// The name of the session header.
inline constexpr const char* kSessionHeader = "X-Zel-Session";
// Bounds of the request line and headers.
inline constexpr size_t kMaxUrlLength = 2048;
inline constexpr size_t kMaxHeaderBytes = 8192;
inline constexpr const char* kAutomationPath = "/api/v1/automation";
inline constexpr const char* kEventsPath = "/api/v1/events";
inline constexpr const char* kLoginPath = "/api/v1/login";
inline constexpr const char* kLogoutPath = "/api/v1/logout";
// The cookie that carries a login session's cookie on TCP.
inline constexpr const char* kLoginCookieName = "zelsession";

}  // namespace zel::bridge
