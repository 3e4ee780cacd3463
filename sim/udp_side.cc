// The simulator's UDP side: the controller's half of the encrypted session. A new-session
// request gets a fresh random session id; a secure-connection request that decrypts to the
// expected bytes opens the session (one that does not, as with a wrong private key, is not
// answered); encrypted frames are answered through the same handlers and state as the serial
// line; terminate closes the session. Outside a secure session only a new handshake is answered.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <random>

#include "platform/sync.h"
#include "sim/simulator.h"

namespace zel::sim {
namespace {

Bytes Header(uint16_t sequence, uint8_t type) {
  Bytes h(kPacketHeaderSize);
  WritePacketHeader(h.data(), sequence, type);
  return h;
}

// The answer to a new-session request: header, two bytes the server does not examine, the
// session id, then eleven more bytes that the secure-connection request must echo.
Bytes NewSessionAnswer(uint16_t sequence, UdpSession* session) {
  static Mutex random_mu;
  static std::mt19937 random ZEL_GUARDED_BY(random_mu){std::random_device{}()};
  Bytes answer = Header(sequence, kPacketSessionAnswer);
  MutexLock g(&random_mu);
  for (int i = 0; i < 18; ++i) answer.push_back(static_cast<uint8_t>(random()));
  std::copy_n(answer.begin() + kSessionIdOffset, kSessionIdSize, session->id.begin());
  session->echo.assign(answer.begin() + kSessionIdOffset,
                       answer.begin() + kSessionIdOffset + kCipherBlockSize);
  return answer;
}

}  // namespace

HRESULT Simulator::StartUdp(const std::string& address, uint16_t port) {
  if (udp_thread_.joinable()) return S_FALSE;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) return E_INVALIDARG;
  udp_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (udp_fd_ < 0) return HresultFromErrno(errno);
  socklen_t size = sizeof addr;
  if (bind(udp_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(udp_fd_, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
    HRESULT hr = HresultFromErrno(errno);
    close(udp_fd_);
    udp_fd_ = -1;
    return hr;
  }
  udp_port_ = ntohs(addr.sin_port);
  // The stray sender answers from the same address on a port of its own.
  sockaddr_in stray = addr;
  stray.sin_port = 0;
  udp_stray_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  udp_wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (udp_stray_fd_ < 0 || udp_wake_fd_ < 0 ||
      bind(udp_stray_fd_, reinterpret_cast<sockaddr*>(&stray), sizeof stray) != 0) {
    HRESULT hr = HresultFromErrno(errno);
    for (int* fd : {&udp_fd_, &udp_stray_fd_, &udp_wake_fd_}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    udp_port_ = 0;
    return hr;
  }
  if (!thread_.joinable()) stopping_ = false;
  udp_thread_ = std::thread([this] { RunUdp(); });
  return S_OK;
}

std::vector<Bytes> Simulator::ReceivedDatagrams() const {
  MutexLock g(&mu_);
  return datagrams_;
}

void Simulator::ForgetUdpSession() {
  MutexLock g(&mu_);
  state_.udp = UdpSession();
  state_.logged_in = false;
}

void Simulator::RunUdp() {
  std::array<uint8_t, 2048> buffer;
  while (!stopping_) {
    std::array<pollfd, 2> fds = {pollfd{udp_fd_, POLLIN, 0}, pollfd{udp_wake_fd_, POLLIN, 0}};
    int n = poll(fds.data(), fds.size(), -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || fds[1].revents != 0) break;
    if ((fds[0].revents & POLLIN) == 0) continue;
    sockaddr_in from{};
    socklen_t from_size = sizeof from;
    ssize_t got = recvfrom(udp_fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &from_size);
    if (got < 0) continue;
    AnswerDatagram(Bytes(buffer.begin(), buffer.begin() + got), &from, from_size);
  }
}

bool Simulator::PauseUdp(int ms) {
  if (ms <= 0) return !stopping_;
  pollfd p{udp_wake_fd_, POLLIN, 0};
  return poll(&p, 1, ms) == 0 && !stopping_;
}

void Simulator::AnswerDatagram(const Bytes& datagram, const void* from, uint32_t from_size) {
  Bytes answer;
  int delay_ms = 0;
  DatagramPlan plan;
  uint16_t sequence = 0;
  Bytes frame_payload;  // a secure frame request, decrypted
  {
    MutexLock g(&mu_);
    datagrams_.push_back(datagram);
    plan = faults_.ApplyDatagram();
    if (plan.lose_request || datagram.size() < kPacketHeaderSize) return;
    sequence = PacketSequence(datagram.data());
    UdpSession& session = state_.udp;
    switch (PacketType(datagram.data())) {
      case kPacketNewSession:
        // A new session also ends any login of the old one.
        session = UdpSession();
        session.open = true;
        state_.logged_in = false;
        answer = NewSessionAnswer(sequence, &session);
        break;
      case kPacketSecureConnection: {
        if (!session.open || datagram.size() != kPacketHeaderSize + kCipherBlockSize) return;
        Bytes payload(datagram.begin() + kPacketHeaderSize, datagram.end());
        if (Failed(udp_cipher_.SetKey(DeriveSessionKey(state_.scenario.private_key, session.id))) ||
            Failed(udp_cipher_.Open(payload.data(), kCipherBlockSize, sequence)) ||
            payload != session.echo) {
          return;  // unreadable: the server has another key
        }
        session.secure = true;
        answer = Header(sequence, kPacketSecureAnswer);
        break;
      }
      case kPacketTerminate:
        if (!session.secure) return;
        session = UdpSession();
        answer = Header(sequence, kPacketTerminateAnswer);
        break;
      case kPacketFrame: {
        uint32_t size = static_cast<uint32_t>(datagram.size()) - kPacketHeaderSize;
        if (!session.secure || size == 0 || size % kCipherBlockSize != 0) return;
        frame_payload.assign(datagram.begin() + kPacketHeaderSize, datagram.end());
        if (Failed(udp_cipher_.Open(frame_payload.data(), size, sequence))) return;
        break;
      }
      default:
        return;
    }
  }

  if (!frame_payload.empty()) {
    // The frame, then its zero padding, which the reader skips as bytes before a start byte.
    RequestReader reader;
    std::vector<RequestFrame> frames;
    reader.Feed(frame_payload.data(), frame_payload.size(), &frames);
    if (frames.empty()) return;
    WirePlan wire = Respond(frames.front());
    if (!wire.send) return;
    Bytes reply;
    for (const WirePiece& piece : wire.pieces) {
      delay_ms += piece.pause_ms;
      reply.insert(reply.end(), piece.bytes.begin(), piece.bytes.end());
    }
    answer = Header(sequence, kPacketFrame);
    reply.resize(PaddedSize(static_cast<uint32_t>(reply.size())));
    answer.insert(answer.end(), reply.begin(), reply.end());
  }

  uint16_t answer_sequence = sequence;
  if (plan.previous_sequence) answer_sequence = sequence == 1 ? 0xFFFF : sequence - 1;
  WritePacketHeader(answer.data(), answer_sequence,
                    plan.wrong_type ? uint8_t{0x7F} : PacketType(answer.data()));
  if (PacketType(datagram.data()) == kPacketFrame) {
    uint32_t size = static_cast<uint32_t>(answer.size()) - kPacketHeaderSize;
    if (Failed(udp_cipher_.Seal(answer.data() + kPacketHeaderSize, size, answer_sequence))) return;
  }
  if (!PauseUdp(delay_ms)) return;
  // The request was carried out; only its answer goes missing.
  if (plan.lose_reply) return;
  if (plan.stray_sender) {
    // Someone else on the network answers first: the same header, the payload's bits inverted,
    // from another port. A server that took it would read garbage or a wrong session id.
    Bytes forged = answer;
    for (size_t i = kPacketHeaderSize; i < forged.size(); ++i) forged[i] ^= 0xFF;
    (void)sendto(udp_stray_fd_, forged.data(), forged.size(), 0, static_cast<const sockaddr*>(from),
                 from_size);
  }
  (void)sendto(udp_fd_, answer.data(), answer.size(), 0, static_cast<const sockaddr*>(from),
               from_size);
}

}  // namespace zel::sim
