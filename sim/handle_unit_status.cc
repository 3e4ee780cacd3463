// Unit status (type 0x17): first and last unit number (one byte each, or two bytes each, high
// first); answered with type 0x18 and each unit's status byte and time remaining (high first).
#include "sim/object_range.h"
#include "sim/object_state.h"

namespace zel::sim {

void HandleUnitStatus(SimState& state, const RequestFrame& request, Reply* reply) {
  ObjectStates& o = Objects(state);
  ObjectRange range;
  if (!ParseObjectRange(request, &range)) return;  // the negative acknowledge stays
  Bytes data;
  for (uint32_t n = range.first; n <= range.last; ++n) {
    auto it = o.units.find(static_cast<uint16_t>(n));
    if (it == o.units.end()) return;
    data.push_back(it->second.status);
    data.push_back(static_cast<uint8_t>(it->second.time_remaining >> 8));
    data.push_back(static_cast<uint8_t>(it->second.time_remaining & 0xFF));
  }
  if (data.size() > 254) return;
  reply->frame = MakeFrame(kUnitStatusReply, data);
}

}  // namespace zel::sim
