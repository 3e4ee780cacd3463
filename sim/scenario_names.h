// The scenario's "names" section: the object names the simulated controller holds, by kind,
//   "names": {"zones": [{"number": 1, "name": "FRONT DOOR"}, ...], "units": [...], ...}
// with the kinds (and the name types the frames carry) zones 1, units 2, buttons 3, codes 4,
// areas 5, thermostats 6, messages 7. The names upload sends them kind by kind in that order,
// each kind in the listed order; a name upload from the server adds or replaces an entry.
//
// Name frames (message type 0x0B) carry: name type, number (one byte below 256, else two, high
// byte first), the name in a field of 16 bytes (types 1 and 7) or 13 bytes (the others), padded
// with zero bytes.
//
// Thread contract: stateless; callers hold the simulator's state mutex.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/frames.h"

namespace zel::sim {

inline constexpr uint8_t kNameData = 0x0B;
inline constexpr uint8_t kNamesUpload = 0x0C;

struct ScenarioName {
  uint8_t type = 0;
  uint16_t number = 0;
  std::string name;  // single-byte text as the controller keeps it
  friend bool operator==(const ScenarioName&, const ScenarioName&) = default;
};

// The name field's size for a name type: 16 for 1 and 7, 13 for 2 to 6; 0 for others.
size_t NameFieldSize(uint8_t type);

// Every usable entry of the section, in upload order. Entries without a number in 1..65535 or
// without a text name, and kinds not listed above, are left out.
std::vector<ScenarioName> ScenarioNames(const nlohmann::json& document);

// The name frame the controller sends for one name (the name cut to its field).
Bytes NameFrame(const ScenarioName& name);

// Adds the name to the section, or replaces the name of the same kind and number.
void SetScenarioName(nlohmann::json* document, const ScenarioName& name);

}  // namespace zel::sim
