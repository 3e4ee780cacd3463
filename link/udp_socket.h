// CUDPSocket: the datagram socket of the network transport. Resolves the controller's host with
// getaddrinfo (first IPv4 address), sends datagrams to it and receives datagrams from it with a
// time-out, waking early when the transport is interrupted.
//
// Only datagrams from the resolved address and port are taken as answers: anything else is
// discarded unread and counted, so another host on the network cannot
// inject replies.
//
// Thread contract: not synchronised. The network transport uses it under its request lock only.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/status.h"

namespace zel {

class CUDPSocket {
 public:
  using Deadline = std::chrono::steady_clock::time_point;

  // `timeout` is the receive time-out in production time (scaled through Clock at each wait).
  // Datagrams from other senders are counted in *foreign when given.
  explicit CUDPSocket(Millis timeout, std::atomic<uint64_t>* foreign = nullptr)
      : timeout_(timeout), foreign_(foreign) {}
  ~CUDPSocket() { Close(); }
  CUDPSocket(const CUDPSocket&) = delete;
  CUDPSocket& operator=(const CUDPSocket&) = delete;

  // Resolves host (a name or a dotted address) and creates the socket (no bind, no connect).
  // E_FAIL when the host does not resolve to an IPv4 address (*resolve_failed set) or the socket
  // cannot be made.
  HRESULT Open(const std::string& host, uint16_t port, bool* resolve_failed = nullptr);
  void Close();
  bool is_open() const { return fd_ >= 0; }

  // S_OK only when the whole datagram went out; E_FAIL otherwise.
  HRESULT Send(const uint8_t* bytes, uint32_t size);

  // The real time at which a receive started now times out.
  Deadline ReceiveDeadline() const;
  // Receives one datagram from the resolved address into buffer (at most capacity bytes; a
  // longer one is cut to capacity). Returns E_TIMEOUT (0x800705B4) when none arrives before the
  // deadline; E_ABORT when wake_fd becomes readable first; E_FAIL for an empty datagram; the
  // socket error as a status code otherwise.
  HRESULT Receive(uint8_t* buffer, uint32_t capacity, uint32_t* size, Deadline deadline,
                  int wake_fd);
  // Reads and drops every datagram already waiting; returns how many.
  uint32_t DrainPending();

  Millis timeout() const { return timeout_; }
  const sockaddr_in& destination() const { return destination_; }

 private:
  bool FromDestination(const sockaddr_in& from) const;

  Millis timeout_;
  sockaddr_in destination_{};
  int fd_ = -1;
  std::atomic<uint64_t>* foreign_;
};

}  // namespace zel
