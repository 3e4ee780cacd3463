#include "bridge/http_front_end.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bridge/protocol.h"
#include "bridge/security_log.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/system_log.h"

namespace zel::bridge {
namespace {

// A chunked body over the limit is read and thrown away up to this many times the limit, so the
// client still gets its 413; past that the connection is simply closed.
constexpr size_t kDiscardFactor = 16;
// Backlog of the listening sockets: a burst of connections waits here for the library's thread.
constexpr int kListenBacklog = 256;

std::string ReplyText(const Reply& reply) {
  return reply.body.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

MHD_Result QueueReply(MHD_Connection* connection, const Reply& reply, bool close = false) {
  std::string text = ReplyText(reply);
  MHD_Response* response =
      MHD_create_response_from_buffer(text.size(), text.data(), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", "application/json");
  MHD_add_response_header(response, "Cache-Control", "no-store");
  if (close) MHD_add_response_header(response, "Connection", "close");
  if (!reply.set_cookie.empty()) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_SET_COOKIE, reply.set_cookie.c_str());
  }
  MHD_Result result =
      MHD_queue_response(connection, static_cast<unsigned>(reply.http_status), response);
  MHD_destroy_response(response);
  return result;
}

std::string HeaderOrArgument(MHD_Connection* connection) {
  if (const char* h = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, kSessionHeader)) {
    return h;
  }
  // Browsers' EventSource cannot send headers: the events endpoint also takes ?session=.
  if (const char* a = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "session")) {
    return a;
  }
  return {};
}

ssize_t ReadStream(void* cls, uint64_t /*pos*/, char* buf, size_t max) {
  return (*static_cast<std::shared_ptr<EventStream>*>(cls))->Fill(buf, max);
}

void FreeStream(void* cls) { delete static_cast<std::shared_ptr<EventStream>*>(cls); }

}  // namespace

// One open connection, for the per-peer count and the header time-out.
struct HttpFrontEnd::Connection {
  int fd = -1;
  std::string peer;
  std::chrono::steady_clock::time_point since;  // connected, or last reply sent
  bool headers_done = false;
  bool closing = false;
};

struct HttpFrontEnd::Context {
  enum class Kind { kRefused, kPost, kLogin, kLogout, kStream };
  enum class Step { kReceiving, kRunning, kAnswered };
  Kind kind = Kind::kRefused;
  Step step = Step::kReceiving;
  Caller caller;
  std::string login_cookie;  // the request's login cookie (login endpoints)
  std::string session_id;
  std::string body;
  bool too_large = false;
  size_t discarded = 0;
  Reply reply;  // written by the worker before it resumes the connection
  std::shared_ptr<EventStream> stream;
};

HRESULT ListenUnix(const std::string& path, int* fd) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) return E_INVALIDARG;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  struct stat st {};
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return HresultFromErrno(EEXIST);
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) return HresultFromErrno(errno);
    bool live = connect(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(probe);
    if (live) return HresultFromErrno(EADDRINUSE);
    unlink(path.c_str());  // a socket left behind by an instance that ended
  }
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return HresultFromErrno(errno);
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      chmod(path.c_str(), 0660) != 0 || listen(s, kListenBacklog) != 0) {
    int err = errno;
    close(s);
    unlink(path.c_str());
    return HresultFromErrno(err);
  }
  *fd = s;
  return S_OK;
}

HRESULT ListenLoopback(int port, int* fd, uint16_t* bound_port) {
  if (port < 0 || port > 65535) return E_INVALIDARG;
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) return HresultFromErrno(errno);
  int on = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(s, kListenBacklog) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    int err = errno;
    close(s);
    return HresultFromErrno(err);
  }
  *fd = s;
  *bound_port = ntohs(addr.sin_port);
  return S_OK;
}

HttpFrontEnd::HttpFrontEnd(FrontEndOptions options, Operations* operations, SessionTable* sessions,
                           WorkerPool* pool)
    : options_(std::move(options)), operations_(operations), sessions_(sessions), pool_(pool) {}

HttpFrontEnd::~HttpFrontEnd() {
  BeginStop();
  FinishStop();
}

HRESULT HttpFrontEnd::StartDaemon(int fd, bool tcp, MHD_Daemon** out) {
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_ALLOW_SUSPEND_RESUME;
  MHD_Daemon* d = MHD_start_daemon(
      flags, 0, tcp ? &HttpFrontEnd::OnAccept : nullptr, this, &HttpFrontEnd::OnRequest, this,
      MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_TIMEOUT,
      options_.connection_timeout_seconds, MHD_OPTION_CONNECTION_LIMIT, options_.max_connections,
      MHD_OPTION_NOTIFY_COMPLETED, &HttpFrontEnd::OnCompleted, this, MHD_OPTION_NOTIFY_CONNECTION,
      &HttpFrontEnd::OnConnection, this, MHD_OPTION_END);
  if (d == nullptr) return E_BRIDGE_LISTEN_FAILED;
  *out = d;
  return S_OK;
}

HRESULT HttpFrontEnd::Start() {
  HRESULT hr = S_OK;
  if (!options_.unix_socket_path.empty()) {
    hr = ListenUnix(options_.unix_socket_path, &unix_fd_);
    if (Succeeded(hr)) hr = StartDaemon(unix_fd_, false, &unix_daemon_);
  }
  if (Succeeded(hr) && options_.tcp_port >= 0) {
    hr = ListenLoopback(options_.tcp_port, &tcp_fd_, &tcp_port_);
    if (Succeeded(hr)) hr = StartDaemon(tcp_fd_, true, &tcp_daemon_);
  }
  if (Failed(hr)) {
    BeginStop();
    FinishStop();
  }
  return hr;
}

void HttpFrontEnd::BeginStop() {
  MutexLock g(&mu_);
  stopping_ = true;
  // Stop accepting: the listening sockets are ours to close once the daemons are stopped.
  if (unix_daemon_ != nullptr) MHD_quiesce_daemon(unix_daemon_);
  if (tcp_daemon_ != nullptr) MHD_quiesce_daemon(tcp_daemon_);
}

void HttpFrontEnd::FinishStop() {
  std::map<std::shared_ptr<EventStream>, std::string> streams;
  {
    MutexLock g(&mu_);
    streams = streams_;
  }
  // Every suspended connection must be resumed before its daemon stops: the workers have
  // resumed theirs (the pool has stopped), and every stream is resumed to end here.
  for (const auto& [s, cookie] : streams) s->End();
  for (MHD_Daemon** d : {&unix_daemon_, &tcp_daemon_}) {
    if (*d != nullptr) {
      MHD_stop_daemon(*d);
      *d = nullptr;
    }
  }
  if (unix_fd_ >= 0) {
    close(unix_fd_);
    unix_fd_ = -1;
    unlink(options_.unix_socket_path.c_str());
  }
  if (tcp_fd_ >= 0) {
    close(tcp_fd_);
    tcp_fd_ = -1;
  }
  MutexLock g(&mu_);
  streams_.clear();
}

void HttpFrontEnd::Tick() {
  {
    // Connections that have not sent their request headers in time are shut down; the
    // library then closes them on its own thread.
    auto now = Clock::Get()->Now();
    auto limit = Clock::Get()->Scaled(options_.header_timeout);
    MutexLock g(&conn_mu_);
    for (Connection* c : connections_) {
      if (c->headers_done || c->closing || now - c->since < limit) continue;
      c->closing = true;
      shutdown(c->fd, SHUT_RDWR);
      ReportEvent(MSG_CONNECTION_CLOSED, E_BRIDGE_HEADER_TIMEOUT,
                  c->peer + ": no complete request headers in time");
    }
  }
  std::vector<std::pair<std::shared_ptr<EventStream>, std::string>> streams;
  {
    MutexLock g(&mu_);
    streams.assign(streams_.begin(), streams_.end());
  }
  LoginGate* logins = options_.door != nullptr ? options_.door->logins() : nullptr;
  for (const auto& [s, cookie] : streams) {
    // A stream opened with a login cookie lasts as long as the login session.
    if (!cookie.empty() && logins != nullptr && logins->LiveUser(cookie).empty()) {
      s->End();
    } else {
      s->Wake();
    }
  }
}

size_t HttpFrontEnd::stream_count() const {
  MutexLock g(&mu_);
  return streams_.size();
}

MHD_Result HttpFrontEnd::OnAccept(void* /*cls*/, const sockaddr* addr, socklen_t addrlen) {
  // The TCP listener is bound to 127.0.0.1; this is a second check that only loopback peers in.
  if (addr == nullptr) return MHD_NO;
  if (addr->sa_family == AF_INET && addrlen >= sizeof(sockaddr_in)) {
    auto* in = reinterpret_cast<const sockaddr_in*>(addr);
    return (ntohl(in->sin_addr.s_addr) >> 24) == 127 ? MHD_YES : MHD_NO;
  }
  if (addr->sa_family == AF_INET6 && addrlen >= sizeof(sockaddr_in6)) {
    auto* in6 = reinterpret_cast<const sockaddr_in6*>(addr);
    return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr) ? MHD_YES : MHD_NO;
  }
  return MHD_NO;
}

void HttpFrontEnd::OnConnection(void* cls, MHD_Connection* connection, void** socket_context,
                                MHD_ConnectionNotificationCode code) {
  auto* self = static_cast<HttpFrontEnd*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    auto* c = new Connection;
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    c->fd = info ? info->connect_fd : -1;
    const bool tcp = self->IsTcp(connection);
    if (tcp && c->fd >= 0) {
      // Each reply goes out as soon as it is written: without this, the reply's last segment
      // waits for the client's acknowledgement of the one before it (Nagle's algorithm meeting
      // delayed acknowledgements), which costs a single client most of its round trip.
      int on = 1;
      (void)setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    c->peer = FrontDoor::PeerKey(c->fd, tcp);
    c->since = Clock::Get()->Now();
    *socket_context = c;
    MutexLock g(&self->conn_mu_);
    self->connections_.insert(c);
    size_t& count = self->per_peer_[c->peer];
    if (++count > self->options_.connections_per_peer) {
      c->closing = true;
      shutdown(c->fd, SHUT_RDWR);
      ReportEvent(MSG_CONNECTION_CLOSED, E_BRIDGE_PEER_CONNECTION_LIMIT,
                  c->peer + ": too many connections");
    }
    return;
  }
  auto* c = static_cast<Connection*>(*socket_context);
  if (c == nullptr) return;
  *socket_context = nullptr;
  {
    MutexLock g(&self->conn_mu_);
    self->connections_.erase(c);
    auto it = self->per_peer_.find(c->peer);
    if (it != self->per_peer_.end() && --it->second == 0) self->per_peer_.erase(it);
  }
  delete c;
}

bool HttpFrontEnd::IsTcp(MHD_Connection* connection) const {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_DAEMON);
  return info != nullptr && info->daemon != nullptr && info->daemon == tcp_daemon_;
}

void HttpFrontEnd::HeadersDone(MHD_Connection* connection, bool done) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  if (info == nullptr || info->socket_context == nullptr) return;
  auto* c = static_cast<Connection*>(info->socket_context);
  MutexLock g(&conn_mu_);
  c->headers_done = done;
  c->since = Clock::Get()->Now();
}

bool HttpFrontEnd::Admit(MHD_Connection* connection, const char* url, bool site_only,
                         Caller* caller, MHD_Result* queued) {
  size_t header_bytes = 0;
  MHD_get_connection_values(
      connection, MHD_HEADER_KIND,
      [](void* cls, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
        *static_cast<size_t*>(cls) += std::strlen(key) + (value ? std::strlen(value) : 0) + 4;
        return MHD_YES;
      },
      &header_bytes);
  if ((url != nullptr && std::strlen(url) > kMaxUrlLength) || header_bytes > kMaxHeaderBytes) {
    *queued = QueueReply(
        connection,
        StatusReply(E_BRIDGE_HEADERS_TOO_LARGE, "the request line or the headers are too large"),
        /*close=*/true);
    return false;
  }
  RequestFacts facts;
  facts.tcp = IsTcp(connection);
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  facts.fd = info ? info->connect_fd : -1;
  auto header = [&](const char* name) {
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  };
  const char* authorization = header(MHD_HTTP_HEADER_AUTHORIZATION);
  const char* host = header(MHD_HTTP_HEADER_HOST);
  facts.authorization = authorization ? authorization : "";
  facts.host = host ? host : "";
  facts.origin = header(MHD_HTTP_HEADER_ORIGIN);
  const char* cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, kLoginCookieName);
  facts.login_cookie = cookie ? cookie : "";
  std::string why;
  HRESULT hr = E_BRIDGE_NO_ROLE;
  if (options_.door != nullptr) {
    hr = site_only && facts.tcp ? options_.door->CheckSite(facts, &why)
                                : options_.door->Admit(facts, caller, &why);
  }
  if (Failed(hr)) {
    *queued = QueueReply(connection, StatusReply(hr, why));
    return false;
  }
  return true;
}

MHD_Result HttpFrontEnd::OnRequest(void* cls, MHD_Connection* connection, const char* url,
                                   const char* method, const char* /*version*/,
                                   const char* upload_data, size_t* upload_data_size,
                                   void** req_cls) {
  auto* self = static_cast<HttpFrontEnd*>(cls);
  auto* ctx = static_cast<Context*>(*req_cls);
  if (ctx == nullptr) {
    ctx = new Context;
    *req_cls = ctx;
    self->HeadersDone(connection, true);
    return self->Route(connection, url, method, ctx);
  }
  if (ctx->kind != Context::Kind::kPost && ctx->kind != Context::Kind::kLogin &&
      ctx->kind != Context::Kind::kLogout) {
    return MHD_YES;
  }
  if (*upload_data_size > 0) return self->Upload(connection, upload_data, upload_data_size, ctx);
  switch (ctx->step) {
    case Context::Step::kReceiving:
      return self->Dispatch(connection, ctx);
    case Context::Step::kRunning:
      // Resumed by the worker: the reply is ready.
      ctx->step = Context::Step::kAnswered;
      return QueueReply(connection, ctx->reply);
    case Context::Step::kAnswered:
      return MHD_YES;
  }
  return MHD_NO;
}

MHD_Result HttpFrontEnd::Route(MHD_Connection* connection, const char* url, const char* method,
                               Context* ctx) {
  std::string_view path(url ? url : "");
  std::string_view verb(method ? method : "");
  MHD_Result refused = MHD_NO;
  const bool login = path == kLoginPath || path == kLogoutPath;
  const bool file = options_.web != nullptr && WebFolder::Mounted(path);
  if (!Admit(connection, url, login || file, &ctx->caller, &refused)) return refused;
  if (file) return ServeFile(connection, url, method);
  if (login && options_.login != nullptr) {
    if (verb != MHD_HTTP_METHOD_POST) {
      return QueueReply(connection, StatusReply(E_BRIDGE_BAD_METHOD, "use POST"));
    }
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length != nullptr && std::strtoull(length, nullptr, 10) > options_.max_body_bytes) {
      return QueueReply(connection,
                        StatusReply(E_BRIDGE_BODY_TOO_LARGE, "the request body is too large"),
                        /*close=*/true);
    }
    ctx->kind = path == kLoginPath ? Context::Kind::kLogin : Context::Kind::kLogout;
    const char* cookie = MHD_lookup_connection_value(connection, MHD_COOKIE_KIND, kLoginCookieName);
    ctx->login_cookie = cookie ? cookie : "";
    return MHD_YES;
  }
  if (path == kAutomationPath) {
    if (verb != MHD_HTTP_METHOD_POST) {
      return QueueReply(connection, StatusReply(E_BRIDGE_BAD_METHOD, "use POST"));
    }
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length != nullptr && std::strtoull(length, nullptr, 10) > options_.max_body_bytes) {
      // Refused before the body is read; the connection closes after the reply.
      return QueueReply(connection,
                        StatusReply(E_BRIDGE_BODY_TOO_LARGE, "the request body is too large"),
                        /*close=*/true);
    }
    ctx->kind = Context::Kind::kPost;
    ctx->session_id = HeaderOrArgument(connection);
    return MHD_YES;
  }
  if (path == kEventsPath) {
    if (verb != MHD_HTTP_METHOD_GET) {
      return QueueReply(connection, StatusReply(E_BRIDGE_BAD_METHOD, "use GET"));
    }
    return OpenStream(connection, ctx);
  }
  return QueueReply(connection, StatusReply(E_BRIDGE_NO_ENDPOINT, "no such endpoint"));
}

MHD_Result HttpFrontEnd::Upload(MHD_Connection* /*connection*/, const char* data, size_t* size,
                                Context* ctx) {
  if (!ctx->too_large && ctx->body.size() + *size > options_.max_body_bytes) {
    ctx->too_large = true;
    std::string().swap(ctx->body);
  }
  if (ctx->too_large) {
    ctx->discarded += *size;
    if (ctx->discarded > kDiscardFactor * options_.max_body_bytes) return MHD_NO;
  } else {
    ctx->body.append(data, *size);
  }
  *size = 0;
  return MHD_YES;
}

MHD_Result HttpFrontEnd::Dispatch(MHD_Connection* connection, Context* ctx) {
  if (ctx->too_large) {
    ctx->step = Context::Step::kAnswered;
    return QueueReply(connection,
                      StatusReply(E_BRIDGE_BODY_TOO_LARGE, "the request body is too large"),
                      /*close=*/true);
  }
  MutexLock g(&mu_);
  if (stopping_) {
    ctx->step = Context::Step::kAnswered;
    return QueueReply(connection, StatusReply(E_BRIDGE_BUSY, "the bridge is stopping"));
  }
  // Suspend first, then hand over: the worker may finish and resume before this returns.
  ctx->step = Context::Step::kRunning;
  MHD_suspend_connection(connection);
  Operations* operations = operations_;
  const LoginEndpoint* login = options_.login;
  bool queued = pool_->Submit([operations, login, connection, ctx](bool cancelled) {
    if (cancelled) {
      ctx->reply = StatusReply(E_BRIDGE_BUSY, "the bridge is stopping");
    } else {
      try {
        switch (ctx->kind) {
          case Context::Kind::kLogin:
            ctx->reply = login->Login(ctx->body, ctx->login_cookie);
            break;
          case Context::Kind::kLogout:
            ctx->reply = login->Logout(ctx->login_cookie);
            break;
          default:
            ctx->reply = operations->Handle(ctx->caller, ctx->session_id, ctx->body);
        }
      } catch (...) {
        ctx->reply = StatusReply(E_FAIL, "internal error");
      }
    }
    // The connection (and ctx with it) may finish as soon as it is resumed: last touch.
    MHD_resume_connection(connection);
  });
  if (!queued) {
    ctx->reply = StatusReply(E_BRIDGE_BUSY, "every worker is busy; try again");
    MHD_resume_connection(connection);
  }
  return MHD_YES;
}

MHD_Result HttpFrontEnd::ServeFile(MHD_Connection* connection, const char* url,
                                   const char* method) {
  const char* tag = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "If-None-Match");
  WebReply reply = options_.web->Serve(method ? method : "", url ? url : "", tag ? tag : "");
  // The library leaves the body out of a reply to HEAD by itself.
  MHD_Response* response =
      MHD_create_response_from_buffer(reply.body.size(), reply.body.data(), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  for (const auto& [name, value] : reply.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  MHD_Result result =
      MHD_queue_response(connection, static_cast<unsigned>(reply.http_status), response);
  MHD_destroy_response(response);
  return result;
}

MHD_Result HttpFrontEnd::OpenStream(MHD_Connection* connection, Context* ctx) {
  std::string id = HeaderOrArgument(connection);
  if (id.empty()) {
    return QueueReply(connection,
                      StatusReply(E_BRIDGE_NO_SESSION, "name the session (header or ?session=)"));
  }
  std::shared_ptr<Session> session;
  if (Failed(sessions_->Find(id, ctx->caller.identity, &session))) {
    return QueueReply(connection, StatusReply(E_SRV_SESSION_EXPIRED, "unknown or expired session"));
  }
  HRESULT hr = session->AcquireStream();
  if (Failed(hr)) {
    return QueueReply(connection, StatusReply(hr, "too many event streams in this session"));
  }
  // From here the stream owns the stream count: its Closed (or destructor) gives it back.
  auto stream = std::make_shared<EventStream>(connection, session, options_.heartbeat);
  {
    MutexLock g(&mu_);
    if (stopping_) {
      return QueueReply(connection, StatusReply(E_BRIDGE_BUSY, "the bridge is stopping"));
    }
    streams_.emplace(stream, ctx->caller.login_cookie);
  }
  // The log cursor: ?after=INDEX, or the Last-Event-ID a reconnecting client sends.
  std::optional<uint32_t> after;
  if (const char* a = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "after")) {
    after = EventStream::CursorOfEventId(std::string(".") + a);
  } else if (const char* h =
                 MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Last-Event-ID")) {
    after = EventStream::CursorOfEventId(h);
  }
  stream->Attach(after);
  ctx->kind = Context::Kind::kStream;
  ctx->stream = stream;
  MHD_Response* response = MHD_create_response_from_callback(
      MHD_SIZE_UNKNOWN, 4096, &ReadStream, new std::shared_ptr<EventStream>(stream), &FreeStream);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Content-Type", "text/event-stream");
  MHD_add_response_header(response, "Cache-Control", "no-store");
  MHD_Result result = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return result;
}

void HttpFrontEnd::OnCompleted(void* cls, MHD_Connection* connection, void** req_cls,
                               MHD_RequestTerminationCode /*code*/) {
  auto* self = static_cast<HttpFrontEnd*>(cls);
  // The next request on this connection has the header time-out from now.
  self->HeadersDone(connection, false);
  auto* ctx = static_cast<Context*>(*req_cls);
  *req_cls = nullptr;
  if (ctx == nullptr) return;
  if (ctx->stream) {
    ctx->stream->Closed();
    MutexLock g(&self->mu_);
    self->streams_.erase(ctx->stream);
  }
  delete ctx;
}

}  // namespace zel::bridge
