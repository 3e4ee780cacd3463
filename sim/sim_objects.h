// The simulated controller's objects (zones, units, thermostats, sensors, ...) as SimState keeps
// them (object_state.h reads them from the scenario and says what requests and commands do to
// them).
//
// Thread contract: plain data, guarded by the simulator's state mutex.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace zel::sim {

struct SimZone {
  uint8_t status = 0;
  uint8_t loop = 0;
  uint8_t area = 1;
};

struct SimUnit {
  uint8_t status = 0;
  uint16_t time_remaining = 0;
  uint8_t area = 1;
};

// Temperatures and setpoints are raw bytes of the controller's encoding (0: no value).
struct SimThermostat {
  uint8_t status = 0;
  uint8_t temperature = 0;
  uint8_t heat_setpoint = 0;
  uint8_t cool_setpoint = 0;
  uint8_t system_mode = 0;
  uint8_t fan_mode = 0;
  uint8_t hold_mode = 0;
};

struct SimTemperatureSensor {
  uint8_t status = 0;
  uint8_t temperature = 0;
  uint8_t heat_setpoint = 0;
  uint8_t cool_setpoint = 0;
  bool output_on = false;  // the paired output, switched by commands 0x40 and 0x41
};

struct SimMessage {
  bool displayed = false;
  bool acknowledged = true;
};

struct SimAudioZone {
  uint8_t power = 0;
  uint8_t source = 1;
  uint8_t volume = 0;
  uint8_t mute = 0;
};

// A source's metadata texts by field code (0 metadata, 1 song title, 2 artist, 3 genre, 4 album
// name, 6 channel number, 7 channel name, others the controller's own).
struct SimAudioSource {
  std::map<uint8_t, std::string> texts;
};

struct ObjectStates {
  bool loaded = false;
  std::map<uint16_t, SimZone> zones;
  std::map<uint16_t, SimUnit> units;
  std::map<uint16_t, SimThermostat> thermostats;
  std::map<uint16_t, SimTemperatureSensor> sensors;  // by zone number
  std::map<uint16_t, SimMessage> messages;
  std::map<uint16_t, SimAudioZone> audio_zones;      // numbered from 1
  std::map<uint16_t, SimAudioSource> audio_sources;  // numbered from 1
};

}  // namespace zel::sim
