// The pieces of the encrypted UDP session that need no socket: the packet header, sequence
// numbers, the session key, block masking with AES-128-ECB (libcrypto's EVP), and the private
// key's text form. The network transport (network_transport.h) and the simulator's controller
// side (sim/udp_endpoint.h) both build on them. See docs/network_session.md.
//
// Packet (one datagram): sequence number (2 bytes, low first), packet type, a reserved 0 byte,
// then the payload. Encrypted payloads are whole 16-byte blocks: the data zero-padded, each
// block's bytes 0 and 1 exclusive-ored with the packet's sequence number (low, high), then each
// block encrypted on its own under the session key.
//
// Thread contract: the free functions are stateless. A SessionCipher is used by one thread at a
// time (its owner's lock guards it).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/status.h"

namespace zel {

inline constexpr uint32_t kPacketHeaderSize = 4;
inline constexpr uint32_t kPacketBufferSize = 256;
inline constexpr uint32_t kCipherBlockSize = 16;
// The largest request frame: sealed, it is padded to whole blocks, and header and blocks must
// fit the 256-byte send buffer (15 blocks; a 16th would run 4 bytes past it).
inline constexpr uint32_t kMaxNetworkRequest =
    (kPacketBufferSize - kPacketHeaderSize) / kCipherBlockSize * kCipherBlockSize;
static_assert(kMaxNetworkRequest == 240);

// Packet types.
inline constexpr uint8_t kPacketNewSession = 0x01;
inline constexpr uint8_t kPacketSessionAnswer = 0x02;
inline constexpr uint8_t kPacketSecureConnection = 0x03;
inline constexpr uint8_t kPacketSecureAnswer = 0x04;
inline constexpr uint8_t kPacketTerminate = 0x05;
inline constexpr uint8_t kPacketTerminateAnswer = 0x06;
inline constexpr uint8_t kPacketFrame = 0x10;

// The session id sits at offsets 6 to 10 of the new-session answer; the secure-connection
// request carries the 16 bytes from offset 6 on (missing bytes are 0).
inline constexpr uint32_t kSessionIdOffset = 6;
inline constexpr uint32_t kSessionIdSize = 5;
// Bytes 11 to 15 of the session key are the private key's exclusive-ored with the session id.
inline constexpr uint32_t kSessionIdKeyOffset = 11;

using PrivateKey = std::array<uint8_t, 16>;
using SessionId = std::array<uint8_t, kSessionIdSize>;

// The sequence number of the next packet: 0xFFFF wraps to 1, so 0 is never sent.
constexpr uint16_t NextSequence(uint16_t current) {
  return current == 0xFFFF ? uint16_t{1} : static_cast<uint16_t>(current + 1);
}

// Writes the 4-byte header at packet[0..3].
void WritePacketHeader(uint8_t* packet, uint16_t sequence, uint8_t type);
uint16_t PacketSequence(const uint8_t* packet);
inline uint8_t PacketType(const uint8_t* packet) { return packet[2]; }

// n rounded up to a multiple of 16.
constexpr uint32_t PaddedSize(uint32_t n) {
  return (n + kCipherBlockSize - 1) / kCipherBlockSize * kCipherBlockSize;
}

PrivateKey DeriveSessionKey(const PrivateKey& key, const SessionId& session_id);

// Exclusive-ors bytes 0 and 1 of every 16-byte block with the sequence number (low, high).
// REQUIRES: size is a multiple of 16.
void MaskBlocks(uint8_t* blocks, uint32_t size, uint16_t sequence);

// AES-128-ECB under one session key, through libcrypto's EVP interface, with padding off: every
// call works on whole blocks only.
class SessionCipher {
 public:
  SessionCipher();
  ~SessionCipher();
  SessionCipher(const SessionCipher&) = delete;
  SessionCipher& operator=(const SessionCipher&) = delete;

  // Sets up encryption and decryption under `key`, discarding the previous key.
  // E_COMM_KEY_SETUP_FAILED when libcrypto refuses; E_OUTOFMEMORY when it has no memory.
  HRESULT SetKey(const PrivateKey& key);
  bool ready() const { return ready_; }

  // In place, whole blocks. E_INVALIDARG when size is not a multiple of 16; E_UNEXPECTED
  // without a key.
  HRESULT Encrypt(uint8_t* blocks, uint32_t size);
  HRESULT Decrypt(uint8_t* blocks, uint32_t size);

  // Mask, then encrypt (sending) / decrypt, then unmask (receiving).
  HRESULT Seal(uint8_t* blocks, uint32_t size, uint16_t sequence);
  HRESULT Open(uint8_t* blocks, uint32_t size, uint16_t sequence);

 private:
  struct Contexts;
  std::unique_ptr<Contexts> contexts_;
  bool ready_ = false;
};

// Opens the answer to frame packet `sequence`, received whole in datagram[0..size): the header
// must carry that sequence number and the frame packet type (else E_UNEXPECTED), the payload
// must be one or more whole blocks (else E_COMM_SHORT_READ). The payload is opened in place
// under `cipher` and copied to a new buffer (std::free's) of at least kMaxFrameSize bytes,
// zero-filled past the payload, so a reader that takes the frame's extent from a garbled
// length byte stays inside it. E_OUTOFMEMORY when that buffer cannot be had.
HRESULT OpenFrameAnswer(SessionCipher* cipher, uint8_t* datagram, uint32_t size, uint16_t sequence,
                        uint8_t** reply);

// "3C-91-...": sixteen upper-case two-digit groups joined by hyphens, 47 characters.
inline constexpr size_t kPrivateKeyTextLength = 47;
std::string FormatPrivateKey(const PrivateKey& key);
// Parses a key text onto *key: groups separated by hyphens (runs of hyphens count as one,
// leading and trailing ones are ignored), each exactly two characters, each character its hex
// value (anything but 0-9, A-F, a-f counts 0). Up to 16 groups replace that many leading bytes;
// an empty text changes nothing. A group of another length, or a seventeenth group: E_FAIL and
// *key unchanged. The text is taken one byte per character (the narrow form).
HRESULT ParsePrivateKey(std::string_view text, PrivateKey* key);

}  // namespace zel
