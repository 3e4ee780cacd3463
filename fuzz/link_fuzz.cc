// Fuzz target for what the link reads off the wire. The first byte selects:
//   0  the frame receiver: the rest is a byte stream from the serial line, fed one byte at a
//      time and again in chunks of the next byte's size; both must give the same frames and
//      failures, and every frame must be whole (start byte, L + 4 bytes, good CRC).
//   1  a datagram as the network transport receives it: two bytes give the sequence number
//      awaited, the rest is the datagram (at most the 256-byte receive buffer).
//   2  a frame sent through the session: the rest is the plaintext payload, sealed as the
//      controller would and opened again; it must come back unchanged.
//   3  a private key text as the network transport's settings take it.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <variant>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "link/frame.h"
#include "link/frame_receiver.h"
#include "link/network_session.h"

namespace zel::fuzz {
namespace {

// One outcome of the receiver: a frame's bytes, or a failure's status.
using Outcome = std::variant<Bytes, HRESULT>;

void CheckFrame(const ReplyBuffer& frame, uint32_t size) {
  const uint8_t* f = frame.get();
  if (f == nullptr || f[0] != kFrameStart || f[1] == 0 || size != f[1] + kFrameOverhead ||
      !FrameCrcMatches(f)) {
    std::abort();
  }
  // What the callers ask of every reply must stay inside it.
  (void)IsAckFrame(f);
  (void)IsNakFrame(f);
  (void)IsEndOfDataFrame(f);
  (void)IsEndOfWalkFrame(f);
}

// Feeds `stream` in chunks of `chunk` bytes (0: all at once), collecting what the receiver gives.
std::vector<Outcome> Receive(const Bytes& stream, size_t chunk) {
  std::vector<Outcome> out;
  FrameReceiver rx;
  size_t at = 0;
  while (at < stream.size()) {
    size_t n = chunk == 0 ? stream.size() - at : std::min(chunk, stream.size() - at);
    size_t used = 0;
    HRESULT hr = rx.Feed(stream.data() + at, n, &used);
    if (used == 0 || used > n) std::abort();  // no progress, or more taken than given
    at += used;
    if (Failed(hr)) {
      if (rx.step() != RxStep::kStart) std::abort();
      out.emplace_back(hr);
      continue;
    }
    if (rx.done()) {
      uint32_t size = rx.frame_size();
      ReplyBuffer frame = rx.TakeFrame();
      CheckFrame(frame, size);
      out.emplace_back(Bytes(frame.get(), frame.get() + size));
      if (rx.done() || rx.step() != RxStep::kStart) std::abort();
    }
  }
  return out;
}

void FuzzReceiver(FuzzInput& in) {
  size_t chunk = in.Byte();
  Bytes stream = in.Rest();
  std::vector<Outcome> one_by_one = Receive(stream, 1);
  if (Receive(stream, chunk) != one_by_one) std::abort();
}

SessionCipher& Cipher() {
  static SessionCipher* cipher = [] {
    auto* c = new SessionCipher();
    if (Failed(c->SetKey(kFuzzSessionKey))) std::abort();
    return c;
  }();
  return *cipher;
}

// A reply buffer handed up by the transport: a reader that takes the extent from its length
// byte must stay inside it.
void CheckReply(const ReplyBuffer& reply) {
  const uint8_t* f = reply.get();
  (void)FrameCrcMatches(f);
  (void)ComputeFrameCrc(f, f[1] + kFrameOverhead);
  (void)IsEndOfWalkFrame(f);
}

void FuzzDatagram(FuzzInput& in) {
  uint16_t sequence = in.Word();
  Bytes datagram = in.Take(kPacketBufferSize);
  // The receive buffer: 256 bytes, zeroed before each receive.
  std::array<uint8_t, kPacketBufferSize> buffer{};
  std::copy(datagram.begin(), datagram.end(), buffer.begin());
  uint8_t* raw = nullptr;
  HRESULT hr = OpenFrameAnswer(&Cipher(), buffer.data(), static_cast<uint32_t>(datagram.size()),
                               sequence, &raw);
  ReplyBuffer reply(raw);
  if (Succeeded(hr) != (reply != nullptr)) std::abort();
  if (reply) CheckReply(reply);
}

void FuzzSealedFrame(FuzzInput& in) {
  uint16_t sequence = NextSequence(in.Word());
  Bytes plain = in.Take(kMaxNetworkRequest);
  if (plain.empty()) return;
  const uint32_t padded = PaddedSize(static_cast<uint32_t>(plain.size()));
  std::array<uint8_t, kPacketBufferSize> packet{};
  WritePacketHeader(packet.data(), sequence, kPacketFrame);
  std::copy(plain.begin(), plain.end(), packet.begin() + kPacketHeaderSize);
  if (Failed(Cipher().Seal(packet.data() + kPacketHeaderSize, padded, sequence))) std::abort();
  uint8_t* raw = nullptr;
  if (Failed(
          OpenFrameAnswer(&Cipher(), packet.data(), kPacketHeaderSize + padded, sequence, &raw))) {
    std::abort();
  }
  ReplyBuffer reply(raw);
  if (!std::equal(plain.begin(), plain.end(), reply.get())) std::abort();
  for (uint32_t i = static_cast<uint32_t>(plain.size()); i < kMaxFrameSize; ++i) {
    if (reply.get()[i] != 0) std::abort();  // zero-filled past the payload
  }
  CheckReply(reply);
}

void FuzzPrivateKey(FuzzInput& in) {
  PrivateKey key = {};
  PrivateKey before = key;
  std::string_view text = in.RestText();
  if (Failed(ParsePrivateKey(text, &key))) {
    if (key != before) std::abort();  // a refused text leaves the key unchanged
    return;
  }
  std::string formatted = FormatPrivateKey(key);
  if (formatted.size() != kPrivateKeyTextLength) std::abort();
  PrivateKey again = {};
  if (Failed(ParsePrivateKey(formatted, &again)) || again != key) std::abort();
}

}  // namespace
}  // namespace zel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zel::fuzz::FuzzInput in(data, size);
  switch (in.Byte() % 4) {
    case 0:
      zel::fuzz::FuzzReceiver(in);
      break;
    case 1:
      zel::fuzz::FuzzDatagram(in);
      break;
    case 2:
      zel::fuzz::FuzzSealedFrame(in);
      break;
    default:
      zel::fuzz::FuzzPrivateKey(in);
      break;
  }
  return 0;
}
