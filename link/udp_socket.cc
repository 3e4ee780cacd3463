#include "link/udp_socket.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>

namespace zel {

HRESULT CUDPSocket::Open(const std::string& host, uint16_t port, bool* resolve_failed) {
  if (resolve_failed != nullptr) *resolve_failed = false;
  Close();
  addrinfo hints{};
  hints.ai_family = AF_INET;  // the controller speaks IPv4 only
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    if (found != nullptr) freeaddrinfo(found);
    if (resolve_failed != nullptr) *resolve_failed = true;
    return E_FAIL;
  }
  std::memset(&destination_, 0, sizeof destination_);
  destination_.sin_family = AF_INET;
  destination_.sin_port = htons(port);
  destination_.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  return fd_ >= 0 ? S_OK : E_FAIL;
}

void CUDPSocket::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

HRESULT CUDPSocket::Send(const uint8_t* bytes, uint32_t size) {
  if (fd_ < 0) return E_FAIL;
  ssize_t sent;
  do {
    sent = sendto(fd_, bytes, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&destination_),
                  sizeof destination_);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(size) ? S_OK : E_FAIL;
}

CUDPSocket::Deadline CUDPSocket::ReceiveDeadline() const {
  return std::chrono::steady_clock::now() + Clock::Get()->Scaled(timeout_);
}

bool CUDPSocket::FromDestination(const sockaddr_in& from) const {
  return from.sin_family == AF_INET && from.sin_port == destination_.sin_port &&
         from.sin_addr.s_addr == destination_.sin_addr.s_addr;
}

HRESULT CUDPSocket::Receive(uint8_t* buffer, uint32_t capacity, uint32_t* size, Deadline deadline,
                            int wake_fd) {
  *size = 0;
  if (fd_ < 0) return E_FAIL;
  for (;;) {
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return E_TIMEOUT;
    std::array<pollfd, 2> fds = {pollfd{fd_, POLLIN, 0}, pollfd{wake_fd, POLLIN, 0}};
    int n = poll(fds.data(), wake_fd >= 0 ? 2 : 1, static_cast<int>(left.count()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return E_TIMEOUT;  // a failed wait counts as a time-out
    if (n == 0) return E_TIMEOUT;
    if (wake_fd >= 0 && fds[1].revents != 0) return E_ABORT;
    if (fds[0].revents == 0) continue;
    sockaddr_in from{};
    socklen_t from_size = sizeof from;
    ssize_t got =
        recvfrom(fd_, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&from), &from_size);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      // A refused earlier send (nothing listens at the port) shows up here; the attempt
      // fails with it and the next one resends.
      return HresultFromErrno(errno);
    }
    // Beyond the contract: only the controller's own address and port may answer; anyone else
    // on the network is dropped unread and counted.
    if (!FromDestination(from)) {
      if (foreign_ != nullptr) foreign_->fetch_add(1);
      continue;
    }
    if (got == 0) return E_FAIL;
    *size = static_cast<uint32_t>(got);
    return S_OK;
  }
}

uint32_t CUDPSocket::DrainPending() {
  if (fd_ < 0) return 0;
  uint32_t drained = 0;
  std::array<uint8_t, 512> scratch;
  // Bounded, so a socket that keeps reporting an error cannot hold the link here.
  for (int i = 0; i < 1024; ++i) {
    ssize_t got = recv(fd_, scratch.data(), scratch.size(), MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // A pending error (an earlier send refused) is consumed too, so it does not fail the next
    // exchange.
    if (got >= 0) ++drained;
  }
  return drained;
}

}  // namespace zel
