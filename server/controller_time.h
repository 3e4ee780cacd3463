// The set-time frame and the delay to the next local midnight, for SetControllerTimeNow.
//
//   5A 08 10 yy mm dd ww hh nn ds crc-lo crc-hi   (12 bytes)
//   yy year - 2000, mm month 1-12, dd day, ww day of week (1 Monday .. 6 Saturday, 7 Sunday),
//   hh hour, nn minute, ds 1 when the local time zone is in daylight time, else 0
//
// Thread contract: stateless.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>

#include "platform/clock.h"

namespace zel {

inline constexpr uint8_t MSG_SET_TIME = 0x10;
inline constexpr uint32_t kSetTimeFrameSize = 12;

// Builds and seals the frame from a local broken-down time.
std::array<uint8_t, kSetTimeFrameSize> BuildSetTimeFrame(const std::tm& local);

// ((24 - hour) * 60 - minute) * 60 - second seconds: from this local time to the next midnight.
Millis DelayToMidnight(const std::tm& local);

}  // namespace zel
