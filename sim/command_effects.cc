// What an acknowledged command does to the simulated objects and area modes (the table is in
// object_state.h).
#include <algorithm>

#include "sim/object_state.h"

namespace zel::sim {
namespace {

constexpr uint8_t kArmingBits = 0x30;
constexpr uint8_t kBypassed = 0x10;

void SetUnit(ObjectStates& o, uint16_t number, uint8_t status, uint16_t time_remaining) {
  auto it = o.units.find(number);
  if (it == o.units.end()) return;
  it->second.status = status;
  it->second.time_remaining = time_remaining;
}

void ChangeUnitStatus(ObjectStates& o, uint16_t number, int delta) {
  auto it = o.units.find(number);
  if (it == o.units.end()) return;
  it->second.status = static_cast<uint8_t>(std::clamp(it->second.status + delta, 0, 255));
}

void SetZoneArming(ObjectStates& o, uint16_t number, uint8_t arming) {
  auto it = o.zones.find(number);
  if (it == o.zones.end()) return;
  it->second.status = static_cast<uint8_t>((it->second.status & ~kArmingBits) | arming);
}

// Area p2's mode (0: every area). Modes are kept by area position, area n at n - 1.
void SetAreaMode(SimState& state, uint16_t area, uint8_t mode) {
  std::vector<uint8_t>& modes = state.scenario.status.area_modes;
  if (area == 0) {
    if (modes.empty()) modes.push_back(0);
    std::fill(modes.begin(), modes.end(), mode);
    return;
  }
  if (area > modes.size()) modes.resize(area, 0);
  modes[area - 1] = mode;
}

// Setpoints reach a thermostat and a sensor of the number alike: the controller's command does
// not say which kind it addresses.
void ApplyClimateCommand(ObjectStates& o, const CommandRecord& c) {
  auto t = o.thermostats.find(c.parameter2);
  auto s = o.sensors.find(c.parameter2);
  uint8_t value = c.parameter1;
  switch (c.command) {
    case 0x40:
    case 0x41:
      if (s != o.sensors.end()) s->second.output_on = c.command == 0x41;
      break;
    case 0x42:
      if (t != o.thermostats.end()) t->second.heat_setpoint = value;
      if (s != o.sensors.end()) s->second.heat_setpoint = value;
      break;
    case 0x43:
      if (t != o.thermostats.end()) t->second.cool_setpoint = value;
      if (s != o.sensors.end()) s->second.cool_setpoint = value;
      break;
    case 0x44:
      if (t != o.thermostats.end()) t->second.system_mode = value;
      break;
    case 0x45:
      if (t != o.thermostats.end()) t->second.fan_mode = value;
      break;
    case 0x46:
      if (t != o.thermostats.end()) t->second.hold_mode = value;
      break;
    default:
      break;
  }
}

void ApplyMessageCommand(ObjectStates& o, const CommandRecord& c) {
  for (auto& [number, message] : o.messages) {
    if (c.parameter2 != 0 && number != c.parameter2) continue;
    bool show = c.command == 0x50;
    message.displayed = show;
    message.acknowledged = !show;
  }
}

void ApplyAudioCommand(ObjectStates& o, const CommandRecord& c) {
  for (auto& [number, zone] : o.audio_zones) {
    if (c.parameter2 != 0 && number != c.parameter2) continue;
    if (c.command == 0x70 && c.parameter1 >= 2) {
      zone.mute = static_cast<uint8_t>(c.parameter1 - 2);
    } else if (c.command == 0x70) {
      zone.power = c.parameter1;
    } else if (c.command == 0x71) {
      zone.volume = c.parameter1;
    } else {
      zone.source = c.parameter1;
    }
  }
}

}  // namespace

void ApplyObjectCommand(SimState& state, const CommandRecord& c) {
  ObjectStates& o = Objects(state);
  uint8_t cmd = c.command;
  uint16_t p2 = c.parameter2;
  if (cmd == 0 || cmd == 1) {
    SetUnit(o, p2, cmd, c.parameter1);
  } else if (cmd == 2 || cmd == 3) {
    for (auto& [number, unit] : o.units) {
      if (p2 == 0 || unit.area == p2) SetUnit(o, number, cmd == 3 ? 1 : 0, 0);
    }
  } else if (cmd == 4 || cmd == 5) {
    SetZoneArming(o, p2, cmd == 4 ? kBypassed : 0);
  } else if (cmd == 6) {
    for (auto& [number, zone] : o.zones) {
      if (p2 == 0 || zone.area == p2) SetZoneArming(o, number, 0);
    }
  } else if (cmd == 9) {
    SetUnit(o, p2, static_cast<uint8_t>(100 + std::min<int>(c.parameter1, 100)), 0);
  } else if (cmd >= 0x11 && cmd <= 0x19) {
    SetUnit(o, p2, static_cast<uint8_t>(16 + (cmd - 0x10)), c.parameter1);
  } else if (cmd >= 0x21 && cmd <= 0x29) {
    SetUnit(o, p2, static_cast<uint8_t>(32 + (cmd - 0x20)), c.parameter1);
  } else if (cmd == 13) {
    int level = std::min(p2 >> 9, 100);
    SetUnit(o, static_cast<uint16_t>(p2 & 511), static_cast<uint8_t>(100 + level), c.parameter1);
  } else if (cmd == 10 || cmd == 11) {
    ChangeUnitStatus(o, p2, cmd == 11 ? 1 : -1);
  } else if (cmd == 12) {
    SetUnit(o, p2, c.parameter1, 0);
  } else if (cmd >= 0x30 && cmd <= 0x36) {
    SetAreaMode(state, p2, static_cast<uint8_t>(cmd - 0x30));
  } else if (cmd >= 0x40 && cmd <= 0x46) {
    ApplyClimateCommand(o, c);
  } else if (cmd == 0x50 || cmd == 0x52) {
    ApplyMessageCommand(o, c);
  } else if (cmd == 0x70 || cmd == 0x71 || cmd == 0x72) {
    ApplyAudioCommand(o, c);
  }
}

}  // namespace zel::sim
