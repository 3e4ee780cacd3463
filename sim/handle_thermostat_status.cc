// Thermostat status (type 0x1E): first and last thermostat number (one byte each, or two bytes
// each, high first); answered with type 0x1F and per thermostat its status, temperature, heat
// and cool setpoints, system, fan and hold modes.
#include "sim/object_range.h"
#include "sim/object_state.h"

namespace zel::sim {

void HandleThermostatStatus(SimState& state, const RequestFrame& request, Reply* reply) {
  AnswerObjectRange(
      Objects(state).thermostats, request, kThermostatStatusReply,
      [](const SimThermostat& t, Bytes* data) {
        data->insert(data->end(), {t.status, t.temperature, t.heat_setpoint, t.cool_setpoint,
                                   t.system_mode, t.fan_mode, t.hold_mode});
      },
      &reply->frame);
}

}  // namespace zel::sim
