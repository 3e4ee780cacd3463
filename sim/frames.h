// Building and splitting controller frames on the controller's side of the link.
//
// RequestReader splits the byte stream the server writes into frames. Unlike the server's
// receiver it resynchronises: bytes before a start byte are skipped, and a frame with a bad CRC
// is reported (so the controller can refuse it) and skipped.
//
// Thread contract: RequestReader is used by the simulator's thread only; the functions are
// stateless.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zel::sim {

using Bytes = std::vector<uint8_t>;

// A complete frame: start byte 0x5A, L, type, L-1 data bytes, CRC low and high.
Bytes MakeFrame(uint8_t type, const Bytes& data);
Bytes AckFrame();
Bytes NakFrame();
// "5A 01 05 C1 93"
std::string ToHex(const Bytes& bytes);

struct RequestFrame {
  Bytes raw;  // the whole frame as received
  bool crc_ok = false;
  uint8_t type() const { return raw[2]; }
  // Data bytes (offset 3 up to the CRC).
  const uint8_t* data() const { return raw.data() + 3; }
  size_t data_size() const { return raw.size() - 5; }
};

class RequestReader {
 public:
  // Adds received bytes; complete frames are appended to *frames.
  void Feed(const uint8_t* bytes, size_t count, std::vector<RequestFrame>* frames);
  // True while part of a frame is buffered.
  bool partial() const { return !buffer_.empty(); }
  // Drops a partial frame (the line went quiet in the middle of one).
  void Reset() { buffer_.clear(); }

 private:
  Bytes buffer_;
};

}  // namespace zel::sim
