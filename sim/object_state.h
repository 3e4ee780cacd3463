// The live state of the simulated controller's objects, and what commands do to it.
//
// The objects come from the scenario's "objects" section:
//   "zones": [{"number": 1, "name": "FRONT DOOR", "area": 1, "type": 0,
//              "status": 0, "loop": 0}, ...]
//   "units": [{"number": 1, "name": "PORCH LIGHT", "area": 1,
//              "status": 0, "time_remaining": 0}, ...]
//   "thermostats": [{"number": 1, "status": 0, "temperature": 130, "heat_setpoint": 120,
//                    "cool_setpoint": 150, "system_mode": 1, "fan_mode": 0, "hold_mode": 0}]
//   "temperature_sensors": [{"number": 7, "status": 0, "temperature": 110,
//                            "heat_setpoint": 0, "cool_setpoint": 0}]   (zone numbers)
//   "messages": [{"number": 1, "displayed": false, "acknowledged": true}]
//   "audio_zones": [{"number": 1, "power": 1, "source": 2, "volume": 40, "mute": 0}]
//   "audio_sources": [{"number": 1, "metadata": "A/B", "song_title": "...", "artist": "...",
//                      "genre": "...", "album_name": "...", "extra": "...",
//                      "channel_number": "...", "channel_name": "..."}]
// (every field but "number" is optional: 0, except a unit's or zone's "area" and an audio zone's
// "source", 1; a message is not displayed and acknowledged; an absent text is not sent).
// Temperatures are raw bytes of the controller's encoding. The areas' security modes live with the
// system status (StatusScenario::area_modes).
//
// Status requests (one object number, or a range first..last, each one byte below 256 or two
// bytes high first):
//   zone status 0x15 -> reply 0x16: per zone its status byte and loop reading
//   unit status 0x17 -> reply 0x18: per unit its status byte and time remaining (two bytes,
//                                   high first)
//   sensor status 0x19 -> reply 0x1A: status, temperature, heat and cool setpoints
//   thermostat status 0x1E -> reply 0x1F: status, temperature, heat and cool setpoints,
//                                   system, fan and hold modes
//   audio zone status 0x31 -> reply 0x32: power, source, volume, mute
// and, for all objects of a kind at once:
//   message status 0x24 (no data) -> reply 0x25, the model's length: two bits per message
//   audio metadata 0x33 (source number) -> one 0x34 record per text, each acknowledge asking for
//                                   the next, then the end-of-data frame
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
//   thermostats and sensors (both, when the number names both)
//          0x42 heat / 0x43 cool    heat / cool setpoint = parameter 1
//          0x44 / 0x45 / 0x46       thermostat system / fan / hold mode = parameter 1
//          0x40 off / 0x41 on       the sensor's paired output (kept, not reported by a poll)
//   messages 0x50 show              displayed, not acknowledged
//          0x52 clear               not displayed, acknowledged (p2 0: every message)
//          0x51 log, 0x53/0x54 say, 0x55 send: recorded only
//   audio zones (p2 0: every zone)
//          0x70 power               p1 0/1: power; p1 2/3: mute = p1 - 2
//          0x71 volume / 0x72 source  = p1
//          0x73 key                 recorded only
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
inline constexpr uint8_t kSensorStatusRequest = 0x19;
inline constexpr uint8_t kSensorStatusReply = 0x1A;
inline constexpr uint8_t kThermostatStatusRequest = 0x1E;
inline constexpr uint8_t kThermostatStatusReply = 0x1F;
inline constexpr uint8_t kMessageStatusRequest = 0x24;
inline constexpr uint8_t kMessageStatusReply = 0x25;
inline constexpr uint8_t kAudioZoneStatusRequest = 0x31;
inline constexpr uint8_t kAudioZoneStatusReply = 0x32;
inline constexpr uint8_t kAudioMetadataRequest = 0x33;
inline constexpr uint8_t kAudioMetadataReply = 0x34;

// The zones and units, read from the scenario on first use.
ObjectStates& Objects(SimState& state);

// Applies an acknowledged command to the objects and the area modes.
void ApplyObjectCommand(SimState& state, const CommandRecord& command);

void HandleZoneStatus(SimState& state, const RequestFrame& request, Reply* reply);        // 0x15
void HandleUnitStatus(SimState& state, const RequestFrame& request, Reply* reply);        // 0x17
void HandleSensorStatus(SimState& state, const RequestFrame& request, Reply* reply);      // 0x19
void HandleThermostatStatus(SimState& state, const RequestFrame& request, Reply* reply);  // 0x1E
void HandleMessageStatus(SimState& state, const RequestFrame& request, Reply* reply);     // 0x24
void HandleAudioZoneStatus(SimState& state, const RequestFrame& request, Reply* reply);   // 0x31
void HandleAudioMetadata(SimState& state, const RequestFrame& request, Reply* reply);     // 0x33
// The acknowledge that asks for the next metadata record while a walk runs.
void ContinueMetadataWalk(SimState& state, const RequestFrame& request, Reply* reply);

}  // namespace zel::sim
