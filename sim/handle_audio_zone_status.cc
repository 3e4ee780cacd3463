// Audio zone status (type 0x31): first and last zone number (one byte each, or two bytes each,
// high first); answered with type 0x32 and per zone its power, source, volume and mute bytes.
#include "sim/object_range.h"
#include "sim/object_state.h"

namespace zel::sim {

void HandleAudioZoneStatus(SimState& state, const RequestFrame& request, Reply* reply) {
  AnswerObjectRange(
      Objects(state).audio_zones, request, kAudioZoneStatusReply,
      [](const SimAudioZone& z, Bytes* data) {
        data->insert(data->end(), {z.power, z.source, z.volume, z.mute});
      },
      &reply->frame);
}

}  // namespace zel::sim
