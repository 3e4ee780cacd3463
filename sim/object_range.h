// The object range of a status request: first and last number, one byte each (2 data bytes) or
// two bytes each, high byte first (4 data bytes).
//
// Thread contract: stateless.
#pragma once

#include <cstdint>

#include "sim/frames.h"

namespace zel::sim {

struct ObjectRange {
  uint32_t first = 0;
  uint32_t last = 0;
};

// False for another data size or a range whose first number lies after its last.
inline bool ParseObjectRange(const RequestFrame& request, ObjectRange* range) {
  const uint8_t* d = request.data();
  if (request.data_size() == 2) {
    *range = {d[0], d[1]};
  } else if (request.data_size() == 4) {
    *range = {uint32_t{d[0]} << 8 | d[1], uint32_t{d[2]} << 8 | d[3]};
  } else {
    return false;
  }
  return range->first <= range->last;
}

}  // namespace zel::sim
