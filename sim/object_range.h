// The object range of a status request: first and last number, one byte each (2 data bytes) or
// two bytes each, high byte first (4 data bytes), and the answer to such a request.
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

// Answers a status request for a range of objects with `reply_type` and each object's bytes
// (`append(object, &data)`, in number order). The negative acknowledge already in the reply
// stays when the range is malformed, names an object `objects` lacks, or would not fit a frame.
template <class Map, class Append>
void AnswerObjectRange(const Map& objects, const RequestFrame& request, uint8_t reply_type,
                       Append append, Bytes* reply_frame) {
  ObjectRange range;
  if (!ParseObjectRange(request, &range)) return;
  Bytes data;
  for (uint32_t n = range.first; n <= range.last; ++n) {
    auto it = objects.find(static_cast<uint16_t>(n));
    if (it == objects.end()) return;
    append(it->second, &data);
    if (data.size() > 254) return;
  }
  *reply_frame = MakeFrame(reply_type, data);
}

}  // namespace zel::sim
