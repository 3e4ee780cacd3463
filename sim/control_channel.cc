#include "sim/control_channel.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <vector>

namespace zel::sim {
namespace {

// A client's line longer than this is answered with a refusal and dropped.
constexpr size_t kMaxLine = 64 * 1024;

struct Client {
  int fd = -1;
  std::string pending;
};

void SendLine(int fd, const std::string& text) {
  std::string line = text + "\n";
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

HRESULT ControlChannel::Start(const std::string& path) {
  if (thread_.joinable()) return S_FALSE;
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) return E_INVALIDARG;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(path.c_str());
  listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return HresultFromErrno(errno);
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(listen_fd_, 8) != 0) {
    HRESULT hr = HresultFromErrno(errno);
    close(listen_fd_);
    listen_fd_ = -1;
    return hr;
  }
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    HRESULT hr = HresultFromErrno(errno);
    close(listen_fd_);
    listen_fd_ = -1;
    unlink(path.c_str());
    return hr;
  }
  path_ = path;
  stopping_ = false;
  thread_ = std::thread([this] { Run(); });
  return S_OK;
}

void ControlChannel::Stop() {
  if (thread_.joinable()) {
    stopping_ = true;
    uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
    thread_.join();
  }
  if (listen_fd_ >= 0) close(listen_fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
  listen_fd_ = wake_fd_ = -1;
  if (!path_.empty()) unlink(path_.c_str());
  path_.clear();
}

void ControlChannel::Run() {
  std::vector<Client> clients;
  std::array<char, 4096> buffer;
  while (!stopping_) {
    std::vector<pollfd> fds = {{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}};
    for (const Client& c : clients) fds.push_back({c.fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if (fds[1].revents & POLLIN) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) clients.push_back(Client{fd, {}});
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      Client& c = clients[i - 2];
      ssize_t n = recv(c.fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) {
        close(c.fd);
        c.fd = -1;
        continue;
      }
      c.pending.append(buffer.data(), static_cast<size_t>(n));
      size_t end;
      while ((end = c.pending.find('\n')) != std::string::npos) {
        std::string line = c.pending.substr(0, end);
        c.pending.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        SendLine(c.fd, simulator_->ApplyControl(line));
      }
      if (c.pending.size() > kMaxLine) {
        SendLine(c.fd, R"({"error":"line too long","ok":false})");
        c.pending.clear();
      }
    }
    std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
  }
  for (Client& c : clients) close(c.fd);
}

}  // namespace zel::sim
