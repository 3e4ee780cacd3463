// The network transport against a fake controller on a real UDP socket on 127.0.0.1: the
// handshake and terminate bytes, masking and encryption of requests, resends, late, foreign and
// malformed datagrams, the 11 x 4 s paths on a recording clock, settings and their stream.
#include "link/network_transport.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <numeric>
#include <thread>

#include "link/frame.h"
#include "platform/resource_library.h"
#include "platform/stream.h"
#include "platform/system_log.h"

namespace zel {
namespace {

using Bytes = std::vector<uint8_t>;

// Records every production duration the code waits for, and runs them `divisor` times faster.
class RecordingClock : public ScaledClock {
 public:
  explicit RecordingClock(int divisor) : ScaledClock(divisor) {}
  Millis Scaled(Millis production) override {
    {
      std::lock_guard<std::mutex> g(mu_);
      waits_.push_back(production.count());
    }
    return ScaledClock::Scaled(production);
  }
  std::vector<int64_t> waits() {
    std::lock_guard<std::mutex> g(mu_);
    return waits_;
  }
  void Clear() {
    std::lock_guard<std::mutex> g(mu_);
    waits_.clear();
  }

 private:
  std::mutex mu_;
  std::vector<int64_t> waits_;
};

// A controller on 127.0.0.1: answers the handshake, the terminate and encrypted frames, unless
// a test installs its own responder. Records every datagram it receives.
class FakeController {
 public:
  struct Out {
    Bytes bytes;
    int delay_ms = 0;
  };
  using Responder = std::function<std::vector<Out>(const Bytes& datagram)>;

  static constexpr SessionId kSessionId = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5};

  FakeController() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    socklen_t size = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &size);
    port_ = ntohs(addr.sin_port);
    wake_fd_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeController() {
    uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof one);
    thread_.join();
    close(fd_);
    close(wake_fd_);
  }

  uint16_t port() const { return port_; }
  void set_key(const PrivateKey& key) {
    std::lock_guard<std::mutex> g(mu_);
    key_ = key;
  }
  void set_responder(Responder r) {
    std::lock_guard<std::mutex> g(mu_);
    responder_ = std::move(r);
  }
  // The frame reply to a decrypted request frame (default: the acknowledge).
  void set_frame_reply(std::function<Bytes(const Bytes& frame)> f) {
    std::lock_guard<std::mutex> g(mu_);
    frame_reply_ = std::move(f);
  }
  std::vector<Bytes> received() {
    std::lock_guard<std::mutex> g(mu_);
    return received_;
  }
  void clear() {
    std::lock_guard<std::mutex> g(mu_);
    received_.clear();
  }
  // Sends from a second socket to whoever sent the last datagram.
  void SendForeign(const Bytes& bytes) {
    int other = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to;
    {
      std::lock_guard<std::mutex> g(mu_);
      to = last_sender_;
    }
    sendto(other, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    close(other);
  }

  // The controller's own answers, for responders that change only some of them.
  std::vector<Out> Answer(const Bytes& d) {
    std::lock_guard<std::mutex> g(mu_);
    return AnswerLocked(d);
  }
  PrivateKey session_key() {
    std::lock_guard<std::mutex> g(mu_);
    return DeriveSessionKey(key_, kSessionId);
  }
  // The step-1 answer: header, two unexamined bytes, the session id, then 11 more bytes.
  static Bytes SessionAnswer(uint16_t sequence) {
    Bytes a(22);
    WritePacketHeader(a.data(), sequence, kPacketSessionAnswer);
    a[4] = 0xEE;
    a[5] = 0xEE;
    std::copy(kSessionId.begin(), kSessionId.end(), a.begin() + 6);
    for (int i = 0; i < 11; ++i) a[11 + i] = static_cast<uint8_t>(0xB0 + i);
    return a;
  }
  static Bytes Header(uint16_t sequence, uint8_t type) {
    Bytes h(4);
    WritePacketHeader(h.data(), sequence, type);
    return h;
  }
  // A sealed frame datagram.
  Bytes SealFrame(uint16_t sequence, const Bytes& frame) {
    Bytes d = Header(sequence, kPacketFrame);
    Bytes payload = frame;
    payload.resize(PaddedSize(static_cast<uint32_t>(frame.size())));
    SessionCipher c;
    EXPECT_EQ(S_OK, c.SetKey(session_key()));
    EXPECT_EQ(S_OK, c.Seal(payload.data(), static_cast<uint32_t>(payload.size()), sequence));
    d.insert(d.end(), payload.begin(), payload.end());
    return d;
  }
  // The decrypted payload of a datagram the transport sent.
  Bytes Opened(const Bytes& d) {
    Bytes payload(d.begin() + 4, d.end());
    SessionCipher c;
    EXPECT_EQ(S_OK, c.SetKey(session_key()));
    EXPECT_EQ(S_OK, c.Open(payload.data(), static_cast<uint32_t>(payload.size()),
                           PacketSequence(d.data())));
    return payload;
  }

 private:
  std::vector<Out> AnswerLocked(const Bytes& d) {
    if (d.size() < 4) return {};
    uint16_t seq = PacketSequence(d.data());
    switch (d[2]) {
      case kPacketNewSession:
        return {{SessionAnswer(seq)}};
      case kPacketSecureConnection: {
        Bytes payload(d.begin() + 4, d.end());
        SessionCipher c;
        c.SetKey(DeriveSessionKey(key_, kSessionId));
        if (payload.size() != 16 || Failed(c.Open(payload.data(), 16, seq))) return {};
        Bytes answer = SessionAnswer(1);
        Bytes expected(answer.begin() + 6, answer.end());
        if (payload != expected) return {};  // could not read it: a wrong key
        return {{Header(seq, kPacketSecureAnswer)}};
      }
      case kPacketTerminate:
        return {{Header(seq, kPacketTerminateAnswer)}};
      case kPacketFrame: {
        Bytes payload(d.begin() + 4, d.end());
        SessionCipher c;
        c.SetKey(DeriveSessionKey(key_, kSessionId));
        if (Failed(c.Open(payload.data(), static_cast<uint32_t>(payload.size()), seq))) return {};
        Bytes frame =
            frame_reply_ ? frame_reply_(payload) : Bytes(kAckFrame.begin(), kAckFrame.end());
        Bytes out = Header(seq, kPacketFrame);
        frame.resize(PaddedSize(static_cast<uint32_t>(frame.size())));
        c.Seal(frame.data(), static_cast<uint32_t>(frame.size()), seq);
        out.insert(out.end(), frame.begin(), frame.end());
        return {{out}};
      }
      default:
        return {};
    }
  }

  void Run() {
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents != 0) return;
      Bytes d(1024);
      sockaddr_in from{};
      socklen_t size = sizeof from;
      ssize_t got = recvfrom(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), &size);
      if (got < 0) continue;
      d.resize(static_cast<size_t>(got));
      std::vector<Out> outs;
      {
        std::lock_guard<std::mutex> g(mu_);
        received_.push_back(d);
        last_sender_ = from;
        outs = responder_ ? std::vector<Out>{} : AnswerLocked(d);
      }
      if (responder_) outs = responder_(d);
      for (const Out& o : outs) {
        if (o.delay_ms > 0) {
          pollfd p{wake_fd_, POLLIN, 0};
          if (poll(&p, 1, o.delay_ms) > 0) return;
        }
        sendto(fd_, o.bytes.data(), o.bytes.size(), 0, reinterpret_cast<sockaddr*>(&from),
               sizeof from);
      }
    }
  }

  int fd_ = -1;
  int wake_fd_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::mutex mu_;
  PrivateKey key_ = CZelCommHandlerNetwork::kDefaultKey;
  Responder responder_;
  std::function<Bytes(const Bytes&)> frame_reply_;
  std::vector<Bytes> received_;
  sockaddr_in last_sender_{};
};

// Production waits run 20 times faster: the 3 s receive time-out takes 150 ms.
constexpr int kDivisor = 20;

class NetworkTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::shared_ptr<const ResourceLibrary> library;
    ASSERT_EQ(S_OK, ResourceLibrary::Parse("[strings]\n132 = Network (UDP)\n", &library));
    InstallResources(library);
    transport_ = MakeObject<CZelCommHandlerNetwork>();
    ASSERT_EQ(S_OK, transport_->put_Address(BStr("127.0.0.1")));
    ASSERT_EQ(S_OK, transport_->put_Port(Variant::UI4(peer_.port())));
  }
  void TearDown() override {
    peer_.set_responder(nullptr);
    transport_.reset();
    InstallResources(nullptr);
  }

  HRESULT Exchange(const Bytes& request, Bytes* reply) {
    uint8_t* raw = nullptr;
    HRESULT hr =
        transport_->SendRequest(request.data(), static_cast<uint32_t>(request.size()), &raw);
    ReplyBuffer owned(raw);
    if (Succeeded(hr)) {
      EXPECT_NE(nullptr, raw);
      if (raw != nullptr) reply->assign(raw, raw + raw[1] + kFrameOverhead);
    } else {
      EXPECT_EQ(nullptr, raw);
    }
    return hr;
  }
  std::vector<uint16_t> Sequences() {
    std::vector<uint16_t> s;
    for (const Bytes& d : peer_.received()) s.push_back(PacketSequence(d.data()));
    return s;
  }
  // Connected, then the controller falls silent and the transport's resends are turned off;
  // the record of datagrams and waits starts afresh.
  void ConnectToASilentControllerWithoutResends(ComPtr<IZelLinkResends>* resends) {
    ASSERT_EQ(S_OK, transport_->Connect());
    peer_.set_responder([](const Bytes&) { return std::vector<FakeController::Out>{}; });
    peer_.clear();
    clock_.Clear();
    ASSERT_EQ(S_OK,
              QueryAs<IZelLinkResends>(static_cast<IZelCommHandler*>(transport_.get()), resends));
    (*resends)->SetResends(false);
  }

  RecordingClock clock_{kDivisor};
  ScopedClock scoped_clock_{&clock_};
  FakeController peer_;
  ComPtr<CZelCommHandlerNetwork> transport_;
};

const Bytes kAck(kAckFrame.begin(), kAckFrame.end());
const Bytes kCommand = {0x5A, 0x05, 0x0F, 0x01, 0x02, 0x00, 0x03, 0xB4, 0x69};

TEST_F(NetworkTransportTest, HandshakeBytes) {
  ASSERT_EQ(S_OK, transport_->Connect());
  EXPECT_TRUE(transport_->connected());
  std::vector<Bytes> got = peer_.received();
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ((Bytes{0x01, 0x00, 0x01, 0x00}), got[0]);
  ASSERT_EQ(20u, got[1].size());
  EXPECT_EQ((Bytes{0x02, 0x00, 0x03, 0x00}), Bytes(got[1].begin(), got[1].begin() + 4));
  // The payload is offsets 6 to 21 of the step-1 answer, masked with 2 and encrypted under the
  // session key: an independent decryption under that key gives it back.
  Bytes answer = FakeController::SessionAnswer(1);
  EXPECT_EQ(Bytes(answer.begin() + 6, answer.end()), peer_.Opened(got[1]));
  EXPECT_EQ(2, transport_->sequence());
}

TEST_F(NetworkTransportTest, ShortSessionAnswerEchoesZerosPastItsEnd) {
  // An answer of 8 bytes: the session id is 2 bytes of it and 3 zeros, the echo all zeros after.
  peer_.set_responder([&](const Bytes& d) -> std::vector<FakeController::Out> {
    if (d[2] == kPacketNewSession) {
      Bytes a = FakeController::Header(PacketSequence(d.data()), kPacketSessionAnswer);
      a.insert(a.end(), {0xEE, 0xEE, 0x77, 0x88});
      return {{a}};
    }
    return {};
  });
  EXPECT_EQ(E_COMM_SESSION_FAILED, transport_->Connect());
  std::vector<Bytes> got = peer_.received();
  ASSERT_GE(got.size(), 2u);
  Bytes payload(got[1].begin() + 4, got[1].end());
  SessionCipher c;
  ASSERT_EQ(S_OK, c.SetKey(DeriveSessionKey(CZelCommHandlerNetwork::kDefaultKey,
                                            SessionId{0x77, 0x88, 0, 0, 0})));
  ASSERT_EQ(S_OK, c.Open(payload.data(), 16, 2));
  Bytes expected(16, 0);
  expected[0] = 0x77;
  expected[1] = 0x88;
  EXPECT_EQ(expected, payload);
}

TEST_F(NetworkTransportTest, RequestOfOneBlockIsMaskedWithTheSequence) {
  ASSERT_EQ(S_OK, transport_->Connect());
  peer_.clear();
  transport_->SetSequenceForTesting(0x0101);
  Bytes reply;
  ASSERT_EQ(S_OK, Exchange(kCommand, &reply));
  EXPECT_EQ(kAck, reply);
  std::vector<Bytes> got = peer_.received();
  ASSERT_EQ(1u, got.size());
  ASSERT_EQ(20u, got[0].size());
  EXPECT_EQ((Bytes{0x02, 0x01, 0x10, 0x00}), Bytes(got[0].begin(), got[0].begin() + 4));
  // Decrypted without unmasking: bytes 0 and 1 carry the sequence 0x0102, the rest is the frame
  // and zero padding.
  Bytes payload(got[0].begin() + 4, got[0].end());
  SessionCipher c;
  ASSERT_EQ(S_OK, c.SetKey(peer_.session_key()));
  ASSERT_EQ(S_OK, c.Decrypt(payload.data(), 16));
  Bytes expected = kCommand;
  expected.resize(16);
  expected[0] ^= 0x02;
  expected[1] ^= 0x01;
  EXPECT_EQ(expected, payload);
}

TEST_F(NetworkTransportTest, RequestOfTwoBlocksMasksBoth) {
  ASSERT_EQ(S_OK, transport_->Connect());
  peer_.clear();
  transport_->SetSequenceForTesting(0x0101);
  Bytes request(17, 0x33);
  request[0] = 0x5A;
  request[1] = 13;
  Bytes reply;
  ASSERT_EQ(S_OK, Exchange(request, &reply));
  std::vector<Bytes> got = peer_.received();
  ASSERT_EQ(1u, got.size());
  ASSERT_EQ(36u, got[0].size());
  Bytes payload(got[0].begin() + 4, got[0].end());
  SessionCipher c;
  ASSERT_EQ(S_OK, c.SetKey(peer_.session_key()));
  ASSERT_EQ(S_OK, c.Decrypt(payload.data(), 32));
  EXPECT_EQ(0x5A ^ 0x02, payload[0]);
  EXPECT_EQ(13 ^ 0x01, payload[1]);
  EXPECT_EQ(0x33 ^ 0x02, payload[16]);
  EXPECT_EQ(0x00 ^ 0x01, payload[17]);
  EXPECT_EQ(0x00, payload[18]);
}

TEST_F(NetworkTransportTest, ReplyBufferHoldsTheWholeFrameAndItsPadding) {
  ASSERT_EQ(S_OK, transport_->Connect());
  // A frame of 40 bytes: three blocks come back, and the buffer covers the frame.
  Bytes frame(40, 0x44);
  frame[0] = 0x5A;
  frame[1] = 36;
  peer_.set_frame_reply([&](const Bytes&) { return frame; });
  Bytes reply;
  ASSERT_EQ(S_OK, Exchange(kCommand, &reply));
  EXPECT_EQ(frame, reply);
}

TEST_F(NetworkTransportTest, SequenceWrapsPastZeroAcrossRequests) {
  ASSERT_EQ(S_OK, transport_->Connect());
  peer_.clear();
  transport_->SetSequenceForTesting(0xFFFE);
  Bytes reply;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(S_OK, Exchange(kAck, &reply));
  EXPECT_EQ((std::vector<uint16_t>{0xFFFF, 1, 2}), Sequences());
}

TEST_F(NetworkTransportTest, ReplyWithThePreviousSequenceIsNotTakenAndTheRequestGoesAgain) {
  ASSERT_EQ(S_OK, transport_->Connect());
  peer_.clear();
  int frames = 0;
  peer_.set_responder([&](const Bytes& d) -> std::vector<FakeController::Out> {
    std::vector<FakeController::Out> outs = peer_.Answer(d);
    if (d[2] == kPacketFrame && frames++ == 0) {
      // The first answer carries the previous sequence number.
      uint16_t previous = static_cast<uint16_t>(PacketSequence(d.data()) - 1);
      outs = {{peer_.SealFrame(previous, kAck)}};
    }
    return outs;
  });
  Bytes reply;
  ASSERT_EQ(S_OK, Exchange(kCommand, &reply));
  EXPECT_EQ(kAck, reply);
  EXPECT_EQ((std::vector<uint16_t>{3, 4}), Sequences());
  EXPECT_EQ(1u, transport_->stale_replies());
}

TEST_F(NetworkTransportTest, LateReplyDoesNotPutTheLinkOutOfStep) {
  ASSERT_EQ(S_OK, transport_->Connect());
  peer_.clear();
  int frames = 0;
  // The first reply comes just after the 150 ms receive time-out (while the resend is waited
  // for); every later one at once.
  peer_.set_responder([&](const Bytes& d) -> std::vector<FakeController::Out> {
    std::vector<FakeController::Out> outs = peer_.Answer(d);
    if (d[2] == kPacketFrame && frames++ == 0) outs[0].delay_ms = 200;
    return outs;
  });
  std::vector<Bytes> replies = {
      {0x5A, 0x02, 0x40, 0x01}, {0x5A, 0x02, 0x40, 0x02}, {0x5A, 0x02, 0x40, 0x03}};
  for (Bytes& r : replies) {
    r.push_back(0);
    r.push_back(0);
    SetFrameCrc(r.data(), static_cast<uint32_t>(r.size()));
  }
  // Each reply names its request: the controller answers request k with reply k.
  peer_.set_frame_reply([&](const Bytes& frame) { return replies[frame[3] - 1]; });
  for (uint8_t k = 1; k <= 3; ++k) {
    Bytes request = {0x5A, 0x02, 0x40, k, 0, 0};
    SetFrameCrc(request.data(), 6);
    Bytes reply;
    ASSERT_EQ(S_OK, Exchange(request, &reply)) << int(k);
    EXPECT_EQ(replies[k - 1], reply) << int(k);
  }
}

TEST_F(NetworkTransportTest, WrongPacketTypeFailsTheAttempt) {
  ASSERT_EQ(S_OK, transport_->Connect());
  peer_.clear();
  peer_.set_responder([&](const Bytes& d) -> std::vector<FakeController::Out> {
    return {{FakeController::Header(PacketSequence(d.data()), 0x11)}};
  });
  Bytes reply;
  EXPECT_EQ(E_UNEXPECTED, Exchange(kCommand, &reply));
  // 11 sends, each with a new sequence number, no pauses between them.
  std::vector<uint16_t> expected(11);
  std::iota(expected.begin(), expected.end(), 3);
  EXPECT_EQ(expected, Sequences());
  EXPECT_TRUE(transport_->connected());  // the server decides whether to reconnect
}

TEST_F(NetworkTransportTest, MalformedDatagramsAreRefusedWithoutOverrunningTheBuffer) {
  ASSERT_EQ(S_OK, transport_->Connect());
  struct Case {
    const char* what;
    std::function<Bytes(uint16_t)> make;
  };
  const Case cases[] = {
      {"shorter than the header",
       [](uint16_t) {
         return Bytes{0x03, 0x00};
       }},
      {"partial block",
       [](uint16_t s) {
         Bytes d = FakeController::Header(s, kPacketFrame);
         d.resize(4 + 10, 0x5A);
         return d;
       }},
      {"no payload", [](uint16_t s) { return FakeController::Header(s, kPacketFrame); }},
      {"longer than the buffer",
       [](uint16_t s) {
         Bytes d = FakeController::Header(s, kPacketFrame);
         d.resize(4 + 320, 0x5A);
         return d;
       }},
  };
  for (const Case& c : cases) {
    peer_.set_responder([&](const Bytes& d) -> std::vector<FakeController::Out> {
      return {{c.make(PacketSequence(d.data()))}};
    });
    Bytes reply;
    EXPECT_EQ(E_COMM_SHORT_READ, Exchange(kCommand, &reply)) << c.what;
  }
}

TEST_F(NetworkTransportTest, RequestsThatDoNotFitAreRefusedUnsent) {
  ASSERT_EQ(S_OK, transport_->Connect());
  peer_.clear();
  Bytes reply;
  // 241 to 252 bytes would fit the buffer unsealed, but their padding to 256 would not.
  for (size_t size : {241, 248, 252, 253}) {
    EXPECT_EQ(E_INVALIDARG, Exchange(Bytes(size, 0x5A), &reply)) << size;
  }
  EXPECT_EQ(E_INVALIDARG, Exchange(Bytes(), &reply));
  EXPECT_TRUE(peer_.received().empty());
  // 240 bytes make 15 whole blocks: with the header, 244 of the 256 bytes.
  EXPECT_EQ(S_OK, Exchange(Bytes(240, 0x5A), &reply));
  ASSERT_EQ(1u, peer_.received().size());
  EXPECT_EQ(kPacketHeaderSize + 240, peer_.received()[0].size());
}

TEST_F(NetworkTransportTest, DatagramsFromOtherSendersAreDropped) {
  ASSERT_EQ(S_OK, transport_->Connect());
  peer_.set_responder([&](const Bytes& d) -> std::vector<FakeController::Out> {
    std::vector<FakeController::Out> outs = peer_.Answer(d);
    if (d[2] == kPacketFrame) {
      // Someone else answers first with a well-formed reply of the right number.
      Bytes forged =
          peer_.SealFrame(PacketSequence(d.data()), Bytes(kNakFrame.begin(), kNakFrame.end()));
      peer_.SendForeign(forged);
      outs[0].delay_ms = 20;
    }
    return outs;
  });
  Bytes reply;
  ASSERT_EQ(S_OK, Exchange(kCommand, &reply));
  EXPECT_EQ(kAck, reply);
  EXPECT_EQ(1u, transport_->foreign_datagrams());
}

TEST_F(NetworkTransportTest, SilentControllerCostsElevenTimesFourSecondsAtConnect) {
  peer_.set_responder([](const Bytes&) { return std::vector<FakeController::Out>{}; });
  clock_.Clear();
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(E_COMM_SESSION_FAILED, transport_->Connect());
  auto real = std::chrono::steady_clock::now() - start;
  // 11 receives of 3000 ms, each followed by a pause of 1000 ms: 44 s, run 20 times faster.
  std::vector<int64_t> expected;
  for (int i = 0; i < 11; ++i) {
    expected.push_back(3000);
    expected.push_back(1000);
  }
  EXPECT_EQ(expected, clock_.waits());
  EXPECT_GE(real, Millis(44000 / kDivisor));
  EXPECT_LT(real, Millis(44000 / kDivisor * 3 / 2));
  // The same packet each time; the failed Connect keeps the sequence number.
  EXPECT_EQ(std::vector<uint16_t>(11, 1), Sequences());
  EXPECT_FALSE(transport_->connected());
  EXPECT_EQ(1, transport_->sequence());
}

TEST_F(NetworkTransportTest, SilentControllerCostsElevenReceivesPerRequest) {
  ASSERT_EQ(S_OK, transport_->Connect());
  peer_.set_responder([](const Bytes&) { return std::vector<FakeController::Out>{}; });
  clock_.Clear();
  Bytes reply;
  EXPECT_EQ(E_TIMEOUT, Exchange(kCommand, &reply));
  EXPECT_EQ(std::vector<int64_t>(11, 3000), clock_.waits());
}

// A walk turns resends off: one send, one receive time-out, and the exchange fails; turned back
// on, the next request gets its 11 sends again.
TEST_F(NetworkTransportTest, WithResendsOffALostReplyFailsAfterOneSend) {
  ComPtr<IZelLinkResends> resends;
  ASSERT_NO_FATAL_FAILURE(ConnectToASilentControllerWithoutResends(&resends));
  Bytes reply;
  EXPECT_EQ(E_TIMEOUT, Exchange(kAck, &reply));
  EXPECT_EQ(std::vector<int64_t>{3000}, clock_.waits());
  EXPECT_EQ(1u, Sequences().size());
  resends->SetResends(true);
  clock_.Clear();
  EXPECT_EQ(E_TIMEOUT, Exchange(kAck, &reply));
  EXPECT_EQ(std::vector<int64_t>(11, 3000), clock_.waits());
}

// A re-login on a dead link turns resends off around its Disconnect: the unanswered terminate
// goes out once (3 s and the 1 s pause, not 11 times that), and the session is dropped anyway.
TEST_F(NetworkTransportTest, WithResendsOffDisconnectSendsItsTerminateOnce) {
  ComPtr<IZelLinkResends> resends;
  ASSERT_NO_FATAL_FAILURE(ConnectToASilentControllerWithoutResends(&resends));
  EXPECT_TRUE(Failed(transport_->Disconnect()));
  resends->SetResends(true);
  EXPECT_EQ((std::vector<int64_t>{3000, 1000}), clock_.waits());
  EXPECT_EQ((std::vector<Bytes>{{0x03, 0x00, 0x05, 0x00}}), peer_.received());
  EXPECT_FALSE(transport_->connected());
  EXPECT_EQ(0, transport_->sequence());
}

TEST_F(NetworkTransportTest, UnansweredSecureStepIsLoggedOnceWithoutTheKey) {
  peer_.set_key(PrivateKey{});  // the controller has another key
  ASSERT_EQ(S_OK,
            transport_->put_PrivateKey(BStr("01-02-03-04-05-06-07-08-09-0A-0B-0C-0D-0E-0F-10")));
  ScopedSystemLogCapture capture;
  EXPECT_EQ(E_COMM_SESSION_FAILED, transport_->Connect());
  EXPECT_EQ(E_COMM_SESSION_FAILED, transport_->Connect());
  std::vector<SystemLogReport> reports = capture.reports();
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ(MSG_SESSION_NOT_ACCEPTED, reports[0].message_id);
  EXPECT_EQ(E_COMM_SESSION_FAILED, reports[0].code);
  EXPECT_EQ(std::string::npos, reports[0].message.find("01-02"));
  EXPECT_EQ(std::string::npos, reports[0].extra.find("01-02"));
  // With the right key the session comes up, and a later refusal is reported again.
  peer_.set_key(PrivateKey{});
  ASSERT_EQ(S_OK,
            transport_->put_PrivateKey(BStr("00-00-00-00-00-00-00-00-00-00-00-00-00-00-00-00")));
  ASSERT_EQ(S_OK, transport_->Connect());
  ASSERT_EQ(S_OK, transport_->put_PrivateKey(BStr("FF")));
  EXPECT_EQ(E_COMM_SESSION_FAILED, transport_->Connect());
  EXPECT_EQ(2u, capture.reports().size());
}

TEST_F(NetworkTransportTest, DisconnectSendsTerminateAndResetsTheSequence) {
  EXPECT_EQ(S_FALSE, transport_->Disconnect());
  EXPECT_TRUE(peer_.received().empty());
  ASSERT_EQ(S_OK, transport_->Connect());
  peer_.clear();
  EXPECT_EQ(S_OK, transport_->Disconnect());
  EXPECT_EQ((std::vector<Bytes>{{0x03, 0x00, 0x05, 0x00}}), peer_.received());
  EXPECT_FALSE(transport_->connected());
  EXPECT_EQ(0, transport_->sequence());
  Bytes reply;
  EXPECT_EQ(E_FAIL, Exchange(kCommand, &reply));
  peer_.clear();
  ASSERT_EQ(S_OK, transport_->Connect());
  EXPECT_EQ((std::vector<uint16_t>{1, 2}), Sequences());
}

TEST_F(NetworkTransportTest, ChangingASettingDisconnects) {
  ASSERT_EQ(S_OK, transport_->Connect());
  ASSERT_EQ(S_OK, transport_->put_Port(Variant::UI4(peer_.port())));
  EXPECT_FALSE(transport_->connected());
  EXPECT_EQ(kPacketTerminate, peer_.received().back()[2]);
  ASSERT_EQ(S_OK, transport_->Connect());
  // A malformed key text fails, but disconnects all the same.
  EXPECT_EQ(E_FAIL, transport_->put_PrivateKey(BStr("1-22")));
  EXPECT_FALSE(transport_->connected());
}

TEST_F(NetworkTransportTest, InterruptEndsAHandshakeWithinOneReceiveTimeOut) {
  peer_.set_responder([](const Bytes&) { return std::vector<FakeController::Out>{}; });
  HRESULT result = S_OK;
  std::thread connect([&] { result = transport_->Connect(); });
  while (peer_.received().size() < 2) std::this_thread::sleep_for(Millis(5));
  auto start = std::chrono::steady_clock::now();
  transport_->InterruptWaits();
  connect.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(3000 / kDivisor));
  EXPECT_EQ(E_ABORT, result);
  transport_->ResumeWaits();
  peer_.set_responder(nullptr);
  EXPECT_EQ(S_OK, transport_->Connect());
}

TEST_F(NetworkTransportTest, UnresolvableHostFailsConnectAndNamesIt) {
  ScopedSystemLogCapture capture;
  ASSERT_EQ(S_OK, transport_->put_Address(BStr("")));
  EXPECT_EQ(E_FAIL, transport_->Connect());
  ASSERT_EQ(1u, capture.reports().size());
  EXPECT_EQ(MSG_HOST_NOT_RESOLVED, capture.reports()[0].message_id);
  EXPECT_TRUE(peer_.received().empty());
}

TEST_F(NetworkTransportTest, SettingsRefuseBadValuesAndKeepTheOld) {
  EXPECT_EQ(E_INVALIDARG, transport_->put_Address(BStr::Null()));
  BStr address;
  ASSERT_EQ(S_OK, transport_->get_Address(&address));
  EXPECT_EQ("127.0.0.1", address.str());
  EXPECT_EQ(E_INVALIDARG, transport_->get_Address(nullptr));

  EXPECT_TRUE(Failed(transport_->put_Port(Variant::Str(BStr("not a number")))));
  EXPECT_TRUE(Failed(transport_->put_Port(Variant::I4(-1))));
  Variant port;
  ASSERT_EQ(S_OK, transport_->get_Port(&port));
  EXPECT_EQ(VT_UI4, port.vt());
  EXPECT_EQ(peer_.port(), port.ui4());
  EXPECT_EQ(E_POINTER, transport_->get_Port(nullptr));

  BStr before, after;
  ASSERT_EQ(S_OK, transport_->get_PrivateKey(&before));
  EXPECT_EQ(kPrivateKeyTextLength, before.str().size());
  EXPECT_EQ(E_FAIL, transport_->put_PrivateKey(BStr("ABC")));
  ASSERT_EQ(S_OK, transport_->get_PrivateKey(&after));
  EXPECT_EQ(before, after);
}

TEST_F(NetworkTransportTest, DescriptionAndSettingsPage) {
  BStr name;
  EXPECT_EQ(S_OK, transport_->get_Name(&name));
  EXPECT_EQ("Network (UDP)", name.str());
  EXPECT_EQ(E_NOTIMPL, transport_->get_Description(&name));
  CLSID page;
  ASSERT_EQ(S_OK, transport_->get_SettingsUI(&page));
  EXPECT_EQ(kClsidZelCommHandlerNetworkUI, page);
}

// "Address" as text, "Port" as an unsigned 32-bit number, "PrivateKey" as its 47-character text.
TEST_F(NetworkTransportTest, SettingsStreamBytes) {
  ASSERT_EQ(S_OK, transport_->put_Address(BStr("ab")));
  ASSERT_EQ(S_OK, transport_->put_Port(Variant::UI4(0x00011170)));
  const std::string key = "00-11-22-33-44-55-66-77-88-99-AA-BB-CC-DD-EE-FF";
  ASSERT_EQ(S_OK, transport_->put_PrivateKey(BStr(key)));
  ComPtr<MemoryStream> stream = MakeObject<MemoryStream>();
  ASSERT_EQ(S_OK, transport_->Save(stream.get(), true));
  Bytes expected = {0x00, 0x09, 0x00, 0x00,                                    // version
                    0x08, 0x00, 0x06, 0x00, 0x00, 0x00, 'a', 0, 'b', 0, 0, 0,  // Address
                    0x13, 0x00, 0x70, 0x11, 0x01, 0x00,                        // Port
                    0x08, 0x00, 96,   0x00, 0x00, 0x00};                       // PrivateKey
  for (char c : key) {
    expected.push_back(static_cast<uint8_t>(c));
    expected.push_back(0);
  }
  expected.push_back(0);
  expected.push_back(0);
  EXPECT_EQ(expected, stream->data());
  uint64_t size_max = 0;
  ASSERT_EQ(S_OK, transport_->GetSizeMax(&size_max));
  EXPECT_EQ(expected.size(), size_max);

  // Loaded into a transport with other settings, the stream brings all three back.
  ComPtr<CZelCommHandlerNetwork> other = MakeObject<CZelCommHandlerNetwork>();
  ASSERT_EQ(S_OK, stream->Seek(0, SeekOrigin::kSet, nullptr));
  ASSERT_EQ(S_OK, other->Load(stream.get()));
  BStr text;
  ASSERT_EQ(S_OK, other->get_Address(&text));
  EXPECT_EQ("ab", text.str());
  ASSERT_EQ(S_OK, other->get_PrivateKey(&text));
  EXPECT_EQ(key, text.str());
  Variant port;
  ASSERT_EQ(S_OK, other->get_Port(&port));
  EXPECT_EQ(0x00011170u, port.ui4());

  // A later format version is refused.
  Bytes later_bytes = expected;
  later_bytes[1] = 0x0A;
  ComPtr<MemoryStream> later = MakeObject<MemoryStream>(later_bytes);
  EXPECT_EQ(E_FAIL, other->Load(later.get()));
}

}  // namespace
}  // namespace zel
