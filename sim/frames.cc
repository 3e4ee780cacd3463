#include "sim/frames.h"

#include <cstdio>

#include "link/frame.h"

namespace zel::sim {

Bytes MakeFrame(uint8_t type, const Bytes& data) {
  Bytes frame;
  frame.reserve(data.size() + 5);
  frame.push_back(kFrameStart);
  frame.push_back(static_cast<uint8_t>(data.size() + 1));
  frame.push_back(type);
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(0);
  frame.push_back(0);
  SetFrameCrc(frame.data(), static_cast<uint32_t>(frame.size()));
  return frame;
}

Bytes AckFrame() { return Bytes(kAckFrame.begin(), kAckFrame.end()); }
Bytes NakFrame() { return Bytes(kNakFrame.begin(), kNakFrame.end()); }

std::string ToHex(const Bytes& bytes) {
  std::string out;
  char two[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(two, sizeof two, "%02X", bytes[i]);
    if (i > 0) out += ' ';
    out += two;
  }
  return out;
}

void RequestReader::Feed(const uint8_t* bytes, size_t count, std::vector<RequestFrame>* frames) {
  buffer_.insert(buffer_.end(), bytes, bytes + count);
  for (;;) {
    // Skip to the next start byte.
    size_t start = 0;
    while (start < buffer_.size() && buffer_[start] != kFrameStart) ++start;
    buffer_.erase(buffer_.begin(), buffer_.begin() + start);
    if (buffer_.size() < 2) return;
    uint8_t length = buffer_[1];
    if (length == 0) {
      // No frame has length 0: drop the start byte and look for the next one.
      buffer_.erase(buffer_.begin());
      continue;
    }
    size_t size = length + kFrameOverhead;
    if (buffer_.size() < size) return;
    RequestFrame frame;
    frame.raw.assign(buffer_.begin(), buffer_.begin() + size);
    frame.crc_ok = FrameCrcMatches(frame.raw.data());
    buffer_.erase(buffer_.begin(), buffer_.begin() + size);
    frames->push_back(std::move(frame));
  }
}

}  // namespace zel::sim
