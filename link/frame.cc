#include "link/frame.h"

#include <cstring>

namespace zel {

uint16_t ComputeFrameCrc(const uint8_t* bytes, uint32_t count) {
  uint16_t crc = 0;
  for (uint32_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      // Reflected form of the polynomial 0x8005: the low bit leaves first.
      crc =
          (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}

void SetFrameCrc(uint8_t* frame, uint32_t length) {
  // Below three bytes there is no room for the CRC: left alone rather than written out of bounds.
  if (frame == nullptr || length < 3) return;
  uint16_t crc = ComputeFrameCrc(frame + 1, length - 3);
  frame[length - 2] = static_cast<uint8_t>(crc & 0xFF);
  frame[length - 1] = static_cast<uint8_t>(crc >> 8);
}

bool IsAckFrame(const uint8_t* reply) {
  return reply != nullptr && std::memcmp(reply, kAckFrame.data(), kAckFrame.size()) == 0;
}

bool IsNakFrame(const uint8_t* reply) {
  return reply != nullptr && std::memcmp(reply, kNakFrame.data(), kNakFrame.size()) == 0;
}

bool IsEndOfDataFrame(const uint8_t* reply) {
  return reply != nullptr &&
         std::memcmp(reply, kEndOfDataFrame.data(), kEndOfDataFrame.size()) == 0;
}

bool IsEndOfWalkFrame(const uint8_t* reply) {
  return IsAckFrame(reply) || IsNakFrame(reply) || IsEndOfDataFrame(reply);
}

bool FrameCrcMatches(const uint8_t* frame) {
  if (frame == nullptr || frame[0] != kFrameStart || frame[1] == 0) return false;
  uint32_t length = frame[1];
  uint16_t stored = static_cast<uint16_t>(frame[length + 2] | frame[length + 3] << 8);
  return ComputeFrameCrc(frame + 1, length + 1) == stored;
}

}  // namespace zel
