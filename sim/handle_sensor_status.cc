// Temperature sensor status (type 0x19): first and last zone number (one byte each, or two bytes
// each, high first); answered with type 0x1A and per sensor its status, temperature, heat and
// cool setpoints.
#include "sim/object_range.h"
#include "sim/object_state.h"

namespace zel::sim {

void HandleSensorStatus(SimState& state, const RequestFrame& request, Reply* reply) {
  AnswerObjectRange(
      Objects(state).sensors, request, kSensorStatusReply,
      [](const SimTemperatureSensor& s, Bytes* data) {
        data->insert(data->end(), {s.status, s.temperature, s.heat_setpoint, s.cool_setpoint});
      },
      &reply->frame);
}

}  // namespace zel::sim
