// HttpFrontEnd: the bridge's HTTP/1.1 side, on libmicrohttpd. It listens on a Unix socket
// (mode 0660) and on 127.0.0.1, and serves two endpoints:
//
//   POST /api/v1/automation   one operation (operations.h), run on the worker pool
//   GET  /api/v1/events       the session's events as Server-Sent Events (event_stream.h)
//   POST /api/v1/login        a person's login, renewal and logout (login_endpoint.h), on the
//   POST /api/v1/logout       worker pool; they set and clear the login cookie
//   GET  /Portico/...         the web front end's files (web_folder.h), on the library thread
//
// Every request passes the front door (front_door.h) when its headers are in: a caller it does
// not admit gets its refusal at once, and nothing runs. On TCP the login endpoints need only
// the front door's Host and Origin checks (they are how a credential is obtained), and so do
// the web front end's files (they hold no data; the page signs in before it asks for any). An event
// stream opened with a login cookie ends when that login session does (checked at each Tick).
// Request lines over kMaxUrlLength and headers over kMaxHeaderBytes are refused with 431. Each
// connection counts against its peer (per-peer limit; over it the connection is closed at once),
// and a connection that has not sent complete request headers within the header time-out of
// connecting (or of its previous reply) is closed by the housekeeping Tick. Both closings are
// written to the system log.
//
// Each listener has one library thread that reads and writes every connection and never blocks:
// a POST is parsed and run on a worker while its connection is suspended, and resumed with the
// reply; an event stream is suspended while it has nothing to write. Request bodies over the
// size limit are refused with 413 (at once when the Content-Length says so); a connection idle
// for the connection time-out is closed.
//
// Thread contract: Start and Stop from the owner's thread. The handlers run on the library's
// threads; jobs on the pool's workers. mu_ guards stopping_ and streams_; conn_mu_ guards the
// connection records and the per-peer counts. Tick asks the login gate about streams' cookies
// with neither lock held.
#pragma once

#include <microhttpd.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "bridge/event_stream.h"
#include "bridge/front_door.h"
#include "bridge/login_endpoint.h"
#include "bridge/operations.h"
#include "bridge/session.h"
#include "bridge/web_folder.h"
#include "bridge/worker_pool.h"
#include "platform/sync.h"

namespace zel::bridge {

struct FrontEndOptions {
  std::string unix_socket_path;  // "" for no Unix socket
  int tcp_port = -1;             // -1 for no TCP listener, 0 for any free port
  size_t max_body_bytes = 1 << 20;
  unsigned connection_timeout_seconds = 30;
  unsigned max_connections = 512;
  std::chrono::milliseconds heartbeat = std::chrono::seconds(15);
  // A production duration (platform/clock.h), so tests can shorten it.
  std::chrono::milliseconds header_timeout = std::chrono::seconds(10);
  size_t connections_per_peer = 32;
  const FrontDoor* door = nullptr;       // required
  const LoginEndpoint* login = nullptr;  // null: the login endpoints answer "no such endpoint"
  const WebFolder* web = nullptr;        // null: /Portico/ answers "no such endpoint"
};

class HttpFrontEnd {
 public:
  HttpFrontEnd(FrontEndOptions options, Operations* operations, SessionTable* sessions,
               WorkerPool* pool);
  ~HttpFrontEnd();

  // Binds the sockets and starts the listeners. On failure nothing is left listening.
  HRESULT Start();
  // First half of stopping: accept nothing new; later requests are answered "busy".
  void BeginStop();
  // Second half, after the worker pool has stopped: end the streams and stop the listeners.
  void FinishStop();

  // Resumes every waiting stream so it can write its heartbeat (housekeeping thread).
  void Tick();

  uint16_t tcp_port() const { return tcp_port_; }
  size_t stream_count() const;

 private:
  struct Context;
  struct Connection;
  static void OnConnection(void* cls, MHD_Connection* connection, void** socket_context,
                           MHD_ConnectionNotificationCode code);
  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url,
                              const char* method, const char* version, const char* upload_data,
                              size_t* upload_data_size, void** req_cls);
  static void OnCompleted(void* cls, MHD_Connection* connection, void** req_cls,
                          MHD_RequestTerminationCode code);
  static MHD_Result OnAccept(void* cls, const sockaddr* addr, socklen_t addrlen);

  MHD_Result Route(MHD_Connection* connection, const char* url, const char* method, Context* ctx);
  MHD_Result Upload(MHD_Connection* connection, const char* data, size_t* size, Context* ctx);
  MHD_Result Dispatch(MHD_Connection* connection, Context* ctx);
  MHD_Result OpenStream(MHD_Connection* connection, Context* ctx);
  MHD_Result ServeFile(MHD_Connection* connection, const char* url, const char* method);
  HRESULT StartDaemon(int fd, bool tcp, MHD_Daemon** out);
  bool IsTcp(MHD_Connection* connection) const;
  // The front door's verdict on a request whose headers are in; false with the refusal queued.
  // site_only: on TCP only the Host and Origin checks (the login endpoints).
  bool Admit(MHD_Connection* connection, const char* url, bool site_only, Caller* caller,
             MHD_Result* queued);
  void HeadersDone(MHD_Connection* connection, bool done);

  const FrontEndOptions options_;
  Operations* const operations_;
  SessionTable* const sessions_;
  WorkerPool* const pool_;

  int unix_fd_ = -1;
  int tcp_fd_ = -1;
  uint16_t tcp_port_ = 0;
  MHD_Daemon* unix_daemon_ = nullptr;
  MHD_Daemon* tcp_daemon_ = nullptr;

  mutable Mutex mu_;
  bool stopping_ ZEL_GUARDED_BY(mu_) = false;
  // Each open stream, with the login cookie it was opened with ("" for another credential).
  std::map<std::shared_ptr<EventStream>, std::string> streams_ ZEL_GUARDED_BY(mu_);

  Mutex conn_mu_;
  std::set<Connection*> connections_ ZEL_GUARDED_BY(conn_mu_);
  std::map<std::string, size_t> per_peer_ ZEL_GUARDED_BY(conn_mu_);
};

// Binds a listening Unix stream socket at path with mode 0660. A stale socket file nobody listens
// on is replaced; a live one is refused (the address is in use).
HRESULT ListenUnix(const std::string& path, int* fd);
// Binds a listening TCP socket on 127.0.0.1 (port 0: any free port) and reports the port.
HRESULT ListenLoopback(int port, int* fd, uint16_t* bound_port);

}  // namespace zel::bridge
