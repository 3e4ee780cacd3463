// The network transport's cost per exchange and per handshake, against the in-process
// simulator answering on UDP on 127.0.0.1.
//
// BM_RoundTripVsBareEcho runs, alternately in one loop, one request/reply round trip through the
// transport (a 9-byte command answered with the 5-byte acknowledge, one 16-byte block each way)
// and one round trip of a bare UDP echo of the same datagram sizes that does the same AES work
// (mask and encrypt, decrypt and unmask, on both sides). Reported: median and 99th percentile
// of each in microseconds, and the ratio of the medians.
// BM_TransportVsBareEcho: the same, with the transport talking to a bare echo that also answers
// the handshake, so the simulator's own frame handling is out of the transport's figure.
// BM_Handshake: the two-step handshake of Connect (the terminate is not timed).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "link/frame.h"
#include "link/network_transport.h"
#include "sim/simulator.h"

namespace zel {
namespace {

using Micros = std::chrono::duration<double, std::micro>;

const std::vector<uint8_t> kCommand = {0x5A, 0x05, 0x0F, 0x01, 0x02, 0x00, 0x03, 0xB4, 0x69};
const PrivateKey kKey = CZelCommHandlerNetwork::kDefaultKey;

void Percentiles(benchmark::State& state, const char* name, std::vector<double> micros,
                 double* median) {
  std::sort(micros.begin(), micros.end());
  *median = micros[micros.size() / 2];
  state.counters[std::string(name) + "_median_us"] = *median;
  state.counters[std::string(name) + "_p99_us"] =
      micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
}

// A UDP echo on 127.0.0.1 that opens each datagram's block and seals the acknowledge frame back,
// as the controller side does, without anything else. It answers the handshake and terminate
// packets too (a fixed session id, nothing checked); after a handshake it works under that
// session's key instead of the private key.
class BareEcho {
 public:
  BareEcho() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t size = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &size);
    address_ = addr;
    wake_ = eventfd(0, EFD_CLOEXEC);
    (void)cipher_.SetKey(kKey);
    thread_ = std::thread([this] { Run(); });
  }
  ~BareEcho() {
    uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
    thread_.join();
    close(fd_);
    close(wake_);
  }
  const sockaddr_in& address() const { return address_; }

 private:
  void Run() {
    std::array<uint8_t, 256> d;
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 || fds[1].revents != 0) return;
      sockaddr_in from{};
      socklen_t size = sizeof from;
      ssize_t got = recvfrom(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&from), &size);
      if (got < 4) continue;
      uint16_t sequence = PacketSequence(d.data());
      size_t out = 4;
      switch (PacketType(d.data())) {
        case kPacketNewSession: {
          std::fill(d.begin() + 4, d.begin() + 22, 0x5A);
          SessionId id;
          std::copy_n(d.begin() + kSessionIdOffset, kSessionIdSize, id.begin());
          (void)cipher_.SetKey(DeriveSessionKey(kKey, id));
          WritePacketHeader(d.data(), sequence, kPacketSessionAnswer);
          out = 22;
          break;
        }
        case kPacketSecureConnection:
          WritePacketHeader(d.data(), sequence, kPacketSecureAnswer);
          break;
        case kPacketTerminate:
          WritePacketHeader(d.data(), sequence, kPacketTerminateAnswer);
          break;
        default:
          if (got < 20) continue;
          (void)cipher_.Open(d.data() + 4, 16, sequence);
          std::fill(d.begin() + 4, d.begin() + 20, 0);
          std::copy(kAckFrame.begin(), kAckFrame.end(), d.begin() + 4);
          (void)cipher_.Seal(d.data() + 4, 16, sequence);
          out = 20;
      }
      sendto(fd_, d.data(), out, 0, reinterpret_cast<sockaddr*>(&from), size);
    }
  }

  int fd_ = -1;
  int wake_ = -1;
  sockaddr_in address_{};
  SessionCipher cipher_;
  std::thread thread_;
};

// Alternates one round trip of the connected transport with one of a bare client against
// `echo`, and reports both.
void RoundTrips(benchmark::State& state, CZelCommHandlerNetwork* transport, const BareEcho& echo) {
  int client = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  SessionCipher cipher;
  (void)cipher.SetKey(kKey);

  std::vector<double> network, bare;
  uint16_t sequence = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    uint8_t* reply = nullptr;
    HRESULT hr = transport->SendRequest(kCommand.data(), 9, &reply);
    auto mid = std::chrono::steady_clock::now();
    ReplyBuffer owned(reply);
    if (hr != S_OK || !IsAckFrame(reply)) {
      state.SkipWithError("exchange failed");
      break;
    }

    std::array<uint8_t, 256> d{};
    sequence = NextSequence(sequence);
    WritePacketHeader(d.data(), sequence, kPacketFrame);
    std::copy(kCommand.begin(), kCommand.end(), d.begin() + 4);
    (void)cipher.Seal(d.data() + 4, 16, sequence);
    sendto(client, d.data(), 20, 0, reinterpret_cast<const sockaddr*>(&echo.address()),
           sizeof(sockaddr_in));
    ssize_t got = recv(client, d.data(), d.size(), 0);
    if (got != 20 || Failed(cipher.Open(d.data() + 4, 16, PacketSequence(d.data())))) {
      state.SkipWithError("echo failed");
      break;
    }
    auto stop = std::chrono::steady_clock::now();
    network.push_back(Micros(mid - start).count());
    bare.push_back(Micros(stop - mid).count());
    state.SetIterationTime(Micros(stop - start).count() / 1e6);
  }
  close(client);
  if (!network.empty() && !bare.empty()) {
    double network_median = 0, bare_median = 0;
    Percentiles(state, "transport", network, &network_median);
    Percentiles(state, "bare_echo", bare, &bare_median);
    state.counters["ratio_median"] = network_median / bare_median;
  }
  (void)transport->Disconnect();
}

void BM_RoundTripVsBareEcho(benchmark::State& state) {
  sim::Scenario scenario;
  scenario.probe_ack = true;
  sim::Simulator simulator(scenario);
  ComPtr<CZelCommHandlerNetwork> transport = MakeObject<CZelCommHandlerNetwork>();
  if (Failed(simulator.StartUdp("127.0.0.1", 0)) ||
      Failed(transport->put_Address(BStr("127.0.0.1"))) ||
      Failed(transport->put_Port(Variant::UI4(simulator.udp_port()))) ||
      Failed(transport->Connect())) {
    state.SkipWithError("no session with the simulator");
    return;
  }
  BareEcho echo;
  RoundTrips(state, transport.get(), echo);
  simulator.Stop();
}
BENCHMARK(BM_RoundTripVsBareEcho)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(5000);

void BM_TransportVsBareEcho(benchmark::State& state) {
  BareEcho controller;
  ComPtr<CZelCommHandlerNetwork> transport = MakeObject<CZelCommHandlerNetwork>();
  if (Failed(transport->put_Address(BStr("127.0.0.1"))) ||
      Failed(transport->put_Port(Variant::UI4(ntohs(controller.address().sin_port)))) ||
      Failed(transport->Connect())) {
    state.SkipWithError("no session with the echo");
    return;
  }
  BareEcho echo;
  RoundTrips(state, transport.get(), echo);
}
BENCHMARK(BM_TransportVsBareEcho)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(5000);

void BM_Handshake(benchmark::State& state) {
  sim::Simulator simulator;
  ComPtr<CZelCommHandlerNetwork> transport = MakeObject<CZelCommHandlerNetwork>();
  if (Failed(simulator.StartUdp("127.0.0.1", 0)) ||
      Failed(transport->put_Address(BStr("127.0.0.1"))) ||
      Failed(transport->put_Port(Variant::UI4(simulator.udp_port())))) {
    state.SkipWithError("no simulator");
    return;
  }
  std::vector<double> micros;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    HRESULT hr = transport->Connect();
    auto stop = std::chrono::steady_clock::now();
    if (hr != S_OK) {
      state.SkipWithError("handshake failed");
      break;
    }
    micros.push_back(Micros(stop - start).count());
    state.SetIterationTime(micros.back() / 1e6);
    (void)transport->Disconnect();
  }
  if (!micros.empty()) {
    double median = 0;
    Percentiles(state, "handshake", micros, &median);
  }
  simulator.Stop();
}
BENCHMARK(BM_Handshake)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(1000);

}  // namespace
}  // namespace zel

BENCHMARK_MAIN();
