#include "bridge/bridge_test_util.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <thread>

#include "bridge/fake_server.h"

namespace zel::bridge::testing {

BridgeOptions TestBridgeOptions() {
  BridgeOptions o;
  char dir[] = "/tmp/zelbridge-test-XXXXXX";
  if (mkdtemp(dir) != nullptr) {
    o.unix_socket_path = std::string(dir) + "/zelbridge.sock";
    o.token_store_path = std::string(dir) + "/" + kTokenFileName;
  }
  o.policy.connections_per_peer = 4096;
  o.policy.sessions_per_identity = 1 << 20;
  o.tcp_port = 0;
  o.max_body_bytes = 64 * 1024;
  o.worker_threads = 8;
  o.connection_timeout_seconds = 1;
  o.heartbeat = std::chrono::milliseconds(100);
  o.housekeeping_interval = std::chrono::milliseconds(50);
  return o;
}

TestBridge::TestBridge(BridgeOptions options) {
  RegisterFakeServer();
  dir_ = std::filesystem::path(options.unix_socket_path).parent_path();
  bridge_ = std::make_unique<AutomationBridge>(std::move(options));
  start_status_ = bridge_->Start();
}

TestBridge::~TestBridge() {
  bridge_->Stop();
  bridge_.reset();
  // The singleton fake server is shared by the tests of one process: drop it between them.
  ClassRegistry::Instance().ReleaseSingletons();
  std::error_code ec;
  if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

ClientOptions TestBridge::UnixClient() const {
  ClientOptions c;
  c.unix_socket_path = bridge_->unix_socket_path();
  c.timeout_ms = 10000;
  return c;
}

ClientOptions TestBridge::TcpClient(Role role) {
  ClientOptions c;
  std::lock_guard<std::mutex> g(tokens_mu_);
  std::string& token = tokens_[role];
  if (token.empty()) {
    TokenStore store(dir_ + "/" + kTokenFileName);
    EXPECT_EQ(S_OK, store.Add("test-" + std::string(RoleName(role)), role, &token));
  }
  c.bearer_token = token;
  c.tcp_port = bridge_->tcp_port();
  c.timeout_ms = 10000;
  return c;
}

RawConnection::RawConnection(const std::string& unix_path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, unix_path.c_str(), sizeof addr.sun_path - 1);
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Close();
}

RawConnection::RawConnection(uint16_t tcp_port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(tcp_port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) Close();
}

RawConnection::~RawConnection() { Close(); }

void RawConnection::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool RawConnection::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string RawConnection::ReadUntil(const std::string& until, std::chrono::milliseconds limit) {
  std::string got;
  auto end = std::chrono::steady_clock::now() + limit;
  while (fd_ >= 0 && (until.empty() || got.find(until) == std::string::npos)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

bool RawConnection::WaitClosed(std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (fd_ >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return true;
  }
  return true;
}

bool WaitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}

}  // namespace zel::bridge::testing
