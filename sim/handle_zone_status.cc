// Zone status (type 0x15): first and last zone number (one byte each, or two bytes each, high
// first); answered with type 0x16 and each zone's status byte and loop reading.
#include "sim/object_range.h"
#include "sim/object_state.h"

namespace zel::sim {

void HandleZoneStatus(SimState& state, const RequestFrame& request, Reply* reply) {
  ObjectStates& o = Objects(state);
  ObjectRange range;
  if (!ParseObjectRange(request, &range)) return;  // the negative acknowledge stays
  Bytes data;
  for (uint32_t n = range.first; n <= range.last; ++n) {
    auto it = o.zones.find(static_cast<uint16_t>(n));
    if (it == o.zones.end()) return;
    data.push_back(it->second.status);
    data.push_back(it->second.loop);
  }
  if (data.size() > 254) return;
  reply->frame = MakeFrame(kZoneStatusReply, data);
}

}  // namespace zel::sim
