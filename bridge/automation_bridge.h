// AutomationBridge: the whole client bridge behind one object. The daemon builds one from its
// options, calls Start after the automation classes are registered, and Stop before it ends.
//
//   AutomationBridge bridge(options);
//   ZEL_TRY(bridge.Start());
//   ... run until asked to stop ...
//   bridge.Stop();
//
// It owns the session table, the worker pool, the HTTP front end and a housekeeping thread that
// expires idle sessions and drives the event streams' heartbeat.
//
// Thread contract: Start and Stop from one thread (the owner); the getters from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "bridge/access_policy.h"
#include "bridge/front_door.h"
#include "bridge/http_front_end.h"
#include "bridge/login_endpoint.h"
#include "bridge/login_gate.h"
#include "bridge/operations.h"
#include "bridge/session.h"
#include "bridge/worker_pool.h"
#include "platform/sync.h"

namespace zel::bridge {

// Left to the implementer: the default loopback port of the bridge.
inline constexpr int kDefaultTcpPort = 8714;
// The socket's file name in the instance directory.
inline constexpr const char* kSocketFileName = "zelbridge.sock";

struct BridgeOptions {
  std::string unix_socket_path;  // "" for the instance directory's zelbridge.sock
  bool listen_unix = true;
  int tcp_port = -1;  // -1: no TCP listener; 0: any free port (tests); kDefaultTcpPort usual
  // Who may do what; the daemon loads it from the instance directory's access.json. Its limits
  // replace those of `sessions` and `connections_per_peer`.
  AccessPolicy policy;
  std::string token_store_path;  // "" for tokens.json in the instance directory
  // The server's login sessions: their cookies are credentials on TCP, and the login endpoints
  // open and end them. Null: no login cookie is accepted.
  std::shared_ptr<LoginGate> logins;
  // The web front end's folder, served at /Portico/ ("" serves no page; the daemon passes
  // WebFolder::DefaultRoot() or its --web folder).
  std::string web_folder;
  std::chrono::milliseconds header_timeout = std::chrono::seconds(10);
  size_t max_body_bytes = 1 << 20;
  size_t worker_threads = 16;  // calls block on the controller, so more than the cores
  size_t max_queued_requests = 1024;
  unsigned connection_timeout_seconds = 30;
  unsigned max_connections = 512;
  std::chrono::milliseconds heartbeat = std::chrono::seconds(15);
  // How often idle sessions are looked for and waiting streams woken for their heartbeat.
  std::chrono::milliseconds housekeeping_interval = std::chrono::seconds(1);
  SessionLimits sessions;
};

class AutomationBridge {
 public:
  explicit AutomationBridge(BridgeOptions options);
  ~AutomationBridge();
  AutomationBridge(const AutomationBridge&) = delete;
  AutomationBridge& operator=(const AutomationBridge&) = delete;

  HRESULT Start();
  // Stops accepting, lets running calls finish, ends every stream and session. Idempotent.
  void Stop();

  const std::string& unix_socket_path() const { return options_.unix_socket_path; }
  uint16_t tcp_port() const { return front_end_ ? front_end_->tcp_port() : 0; }
  SessionTable& sessions() { return sessions_; }
  size_t stream_count() const { return front_end_ ? front_end_->stream_count() : 0; }
  // Passes the housekeeping thread has made (one per housekeeping interval); the service's
  // watchdog takes a counter that stops moving for a wedged bridge.
  uint64_t housekeeping_passes() const { return housekeeping_passes_.load(); }

 private:
  void Housekeeping();

  BridgeOptions options_;
  bool in_instance_dir_ = false;  // the socket is the default one in the instance directory
  SessionTable sessions_;
  // The bearer tokens: the front door looks them up, the token op changes them.
  std::shared_ptr<TokenStore> tokens_;
  Operations operations_;
  std::unique_ptr<FrontDoor> door_;
  std::unique_ptr<LoginEndpoint> login_;
  std::unique_ptr<WebFolder> web_;
  std::unique_ptr<WorkerPool> pool_;
  std::unique_ptr<HttpFrontEnd> front_end_;
  std::thread housekeeper_;
  std::atomic<uint64_t> housekeeping_passes_{0};
  Mutex mu_;
  CondVar cv_;
  bool stop_ ZEL_GUARDED_BY(mu_) = false;
};

}  // namespace zel::bridge
