// The controller frame: start byte 0x5A, length L (type byte plus data, 1..255), message type,
// L-1 data bytes, CRC-16/ARC over the length, type and data bytes, stored low byte first. The
// whole frame is L+4 bytes. See docs/frame_format.md.
//
// Thread contract: stateless.
#pragma once

#include <array>
#include <cstdint>

namespace zel {

inline constexpr uint8_t kFrameStart = 0x5A;  // the character "Z"
inline constexpr uint8_t MSG_ACK = 0x05;
inline constexpr uint8_t MSG_NAK = 0x06;
inline constexpr uint8_t MSG_COMMAND = 0x0F;
inline constexpr uint8_t MSG_LOGIN = 0x20;
inline constexpr uint8_t MSG_LOGOUT = 0x21;

inline constexpr std::array<uint8_t, 5> kAckFrame = {0x5A, 0x01, 0x05, 0xC1, 0x93};
inline constexpr std::array<uint8_t, 5> kNakFrame = {0x5A, 0x01, 0x06, 0x81, 0x92};
inline constexpr std::array<uint8_t, 5> kEndOfDataFrame = {0x5A, 0x01, 0x03, 0x41, 0x91};
inline constexpr std::array<uint8_t, 5> kLogoutFrame = {0x5A, 0x01, 0x21, 0xC1, 0x88};

// A frame is its length byte L plus four bytes (start, length, CRC low, CRC high).
inline constexpr uint32_t kFrameOverhead = 4;
inline constexpr uint32_t kMaxFrameSize = 255 + kFrameOverhead;

// CRC-16/ARC (reflected polynomial 0xA001, initial 0, no final xor); count 0 gives 0.
uint16_t ComputeFrameCrc(const uint8_t* bytes, uint32_t count);
// Computes the CRC over offsets 1..length-3 and stores it at length-2 (low) and length-1 (high).
void SetFrameCrc(uint8_t* frame, uint32_t length);
// True when the first five bytes of reply are the acknowledge (negative acknowledge, end-of-data)
// frame. A null reply is none of them.
bool IsAckFrame(const uint8_t* reply);
bool IsNakFrame(const uint8_t* reply);
bool IsEndOfDataFrame(const uint8_t* reply);
// True when a multi-frame walk (names, setup, the event log) is over: the controller answered
// with an acknowledge, a negative acknowledge or end-of-data instead of the next record.
bool IsEndOfWalkFrame(const uint8_t* reply);
// True when frame starts with 0x5A, has a non-zero length byte L and its CRC at offsets L+2 and
// L+3 matches offsets 1..L+1. REQUIRES: frame holds at least L+4 bytes.
bool FrameCrcMatches(const uint8_t* frame);

}  // namespace zel
