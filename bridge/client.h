// BridgeClient: the client side of the bridge protocol, over libcurl, for zelctl, the tests and
// the benchmarks. It reaches the bridge through its Unix socket, or through 127.0.0.1:port.
//
//   BridgeClient c({.unix_socket_path = "/var/lib/zelcommsrv/zelbridge.sock"});
//   ZEL_TRY(c.OpenSession());
//   Json reply;
//   HRESULT hr = c.Op({{"op", "create"}, {"class", "Corvane.ZelServer"}}, &reply);
//
// Op returns the status code of the reply's body (the operation's outcome); a failure to reach
// the bridge or a reply that is not the protocol's JSON gives a transport code instead:
// E_BRIDGE_UNREACHABLE, E_TIMEOUT, E_BRIDGE_BAD_REPLY.
//
// Thread contract: one BridgeClient is used by one thread at a time (it keeps one connection
// open between requests). Distinct clients are independent.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "bridge/variant_json.h"
#include "platform/status.h"

namespace zel::bridge {

// The bridge could not be reached (no socket, connection refused).
inline constexpr HRESULT E_BRIDGE_UNREACHABLE = MakeHresult(0xC0050101);
// The bridge answered with something that is not a protocol reply.
inline constexpr HRESULT E_BRIDGE_BAD_REPLY = MakeHresult(0xC0050102);

struct ClientOptions {
  std::string unix_socket_path;            // used when not empty
  int tcp_port = -1;                       // otherwise 127.0.0.1:tcp_port
  long timeout_ms = 60000;                 // one request, start to end (not event streams)
  std::string bearer_token;                // sent as "Authorization: Bearer ..." when not empty
  std::vector<std::string> extra_headers;  // "Name: value" lines added to every request
};

class BridgeClient {
 public:
  explicit BridgeClient(ClientOptions options);
  ~BridgeClient();
  BridgeClient(const BridgeClient&) = delete;
  BridgeClient& operator=(const BridgeClient&) = delete;

  // Sends a raw body to the automation endpoint with the given session header ("" for none).
  // Returns S_OK when an HTTP reply came back (whatever its status), else a transport code.
  HRESULT Post(const std::string& body, const std::string& session, long* http_status,
               std::string* reply);
  // The same to another endpoint's path; reply_headers (optional) receives the reply's header
  // lines (the status line first).
  HRESULT PostTo(const char* path, const std::string& body, const std::string& session,
                 long* http_status, std::string* reply,
                 std::vector<std::string>* reply_headers = nullptr);

  // Opens a session (kept by the client); CloseSession ends it (the destructor does too).
  HRESULT OpenSession();
  HRESULT CloseSession();
  const std::string& session() const { return session_; }
  void set_session(std::string id) { session_ = std::move(id); }

  // Runs one operation in the client's session. reply receives the whole reply body;
  // http_status (optional) the HTTP status.
  HRESULT Op(const Json& request, Json* reply, long* http_status = nullptr);

  // Streams the session's events: on_event gets each event's JSON, in order, and returns false
  // to stop. Also returns when the stream ends (S_FALSE) or *stop becomes true (libcurl checks it
  // about once a second, and whenever bytes arrive). S_OK when stopped by on_event or *stop.
  HRESULT Watch(const std::function<bool(const Json&)>& on_event,
                const std::atomic<bool>* stop = nullptr);

 private:
  void* Easy();  // the libcurl handle, made on first use
  std::string Url(const char* path) const;

  ClientOptions options_;
  void* curl_ = nullptr;
  std::string session_;
};

}  // namespace zel::bridge
