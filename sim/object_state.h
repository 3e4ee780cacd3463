// The live state of the simulated controller's zones and units, and what commands do to it.
//
// Zones and units come from the scenario's "objects" section:
//   "zones": [{"number": 1, "name": "FRONT DOOR", "area": 1, "type": 0,
//              "status": 0, "loop": 0}, ...]
//   "units": [{"number": 1, "name": "PORCH LIGHT", "area": 1,
//              "status": 0, "time_remaining": 0}, ...]
// ("status", "loop", "time_remaining" and a unit's "area" are optional: 0, 0, 0 and 1). The
// areas' security modes live with the system status (StatusScenario::area_modes).
//
// Status requests (one object number, or a range first..last, each one byte below 256 or two
// bytes high first):
//   zone status 0x15 -> reply 0x16: per zone its status byte and loop reading
//   unit status 0x17 -> reply 0x18: per unit its status byte and time remaining (two bytes,
//                                   high first)
// A range that names an object the controller lacks is answered with the negative acknowledge.
//
// What an acknowledged command changes (command, parameter 1, parameter 2):
//   units  0 off / 1 on             status 0 / 1, time remaining = parameter 1 (this simulator
//                                   takes the time code as seconds)
//          9 level                  status 100 + percent (at most 100)
//          0x11-0x19 dim            status 16 + steps;  0x21-0x29 brighten: status 32 + steps
//          13 ramp                  unit = p2 AND 511, status 100 + (p2 >> 9), time = p1
//          10 dec / 11 inc / 12 set status - 1 / + 1 / = p1 (counters)
//          2 all off / 3 all on     every unit of area p2 (0: every area): status 0 / 1
//   zones  4 bypass                 arming bits (4-5) of the status = 1
//          5 restore                arming bits = 0
//          6 restore all            arming bits of every zone of area p2 (0: every zone) = 0
//   areas  0x30 disarm              mode of area p2 (0: every area) = 0
//          0x31-0x36 arm            mode = command - 0x30
// Commands for an object the scenario lacks change nothing (they are still acknowledged and
// recorded).
//
// Thread contract: the simulator's state mutex is held around every call (handlers, tests
// through Simulator::WithState).
#pragma once

#include <cstdint>

#include "sim/handlers.h"
#include "sim/sim_objects.h"

namespace zel::sim {

inline constexpr uint8_t kZoneStatusRequest = 0x15;
inline constexpr uint8_t kZoneStatusReply = 0x16;
inline constexpr uint8_t kUnitStatusRequest = 0x17;
inline constexpr uint8_t kUnitStatusReply = 0x18;

// The zones and units, read from the scenario on first use.
ObjectStates& Objects(SimState& state);

// Applies an acknowledged command to the objects and the area modes.
void ApplyObjectCommand(SimState& state, const CommandRecord& command);

void HandleZoneStatus(SimState& state, const RequestFrame& request, Reply* reply);  // 0x15
void HandleUnitStatus(SimState& state, const RequestFrame& request, Reply* reply);  // 0x17

}  // namespace zel::sim
