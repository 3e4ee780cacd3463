// The simulated controller's zones and units as SimState keeps them (object_state.h reads them
// from the scenario and says what requests and commands do to them).
//
// Thread contract: plain data, guarded by the simulator's state mutex.
#pragma once

#include <cstdint>
#include <map>

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

struct ObjectStates {
  bool loaded = false;
  std::map<uint16_t, SimZone> zones;
  std::map<uint16_t, SimUnit> units;
};

}  // namespace zel::sim
