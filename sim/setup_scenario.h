// The scenario sections that describe the controller's setup block and its status:
//
//   "setup": {
//     "block_size": 64,          payload bytes per upload block (1 to 252)
//     "size": 1280,              bytes of the block (default: the model's size)
//     "raw": "00 01 ff ...",     hex bytes laid in from offset 0 before anything below
//     "time_zone": 5, "temperature_format": 1, "first_house_code": 1, "areas_in_use": 2,
//     "user_codes": [{"number": 1, "code": "1234", "authority": 1,
//                     "start": [7, 30, 1, 1], "end": [18, 0, 12, 31]}],
//     "zones": [{"number": 1, "type": 0, "area": 1}],
//     "expansions": [7, 0],      expansion types, from expansion 1
//     "thermostat_types": [1],   from thermostat 1
//     "lighting_formats": [0],
//     "audio_modules": [8],      audio module slots, from slot 1 (two blocks on some models)
//     "bytes": {"612": 5}        single bytes at decimal offsets, laid in last
//   }
// Without "user_codes" and "zones", the codes and zones of the "objects" section are used (a
// code's "code", a zone's "area" and "type").
//
//   "status": {
//     "date_valid": true,
//     "time": "2026-12-06 14:30:15",   the controller's clock; without it, the time the server
//                                      last set, running on, or else the host's local time
//     "daylight_saving": false,        default: the local time zone's
//     "sunrise": "06:45", "sunset": "17:20", "battery": 200,
//     "area_modes": [0, 1]             mode bytes of areas 1, 2, ... (default: the "mode" of
//                                      each area of the "objects" section, else 0)
//   }
//
// Thread contract: value types and stateless functions.
#pragma once

#include <cstdint>
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/status.h"
#include "sim/frames.h"

namespace zel::sim {

struct StatusScenario {
  bool date_valid = true;
  std::optional<std::tm> time;  // a fixed clock
  std::optional<bool> daylight_saving;
  int sunrise_hour = 6, sunrise_minute = 45;
  int sunset_hour = 17, sunset_minute = 20;
  int battery = 200;
  std::vector<uint8_t> area_modes;
};

// Checks the "setup" section (the block itself is built by BuildSetupBlock) and reads the
// "status" section. E_INVALIDARG with a reason for a field of the wrong type or range.
HRESULT ParseSetupSection(const nlohmann::json& document, size_t* block_size, std::string* error);
HRESULT ParseStatusSection(const nlohmann::json& document, StatusScenario* out, std::string* error);

// The setup block a scenario describes, for a model code and firmware. E_INVALIDARG (with the
// reason) for a field the model has no place for or that does not fit the block.
HRESULT BuildSetupBlock(const nlohmann::json& document, int model_code, int major, int minor,
                        Bytes* block, std::string* error);

}  // namespace zel::sim
