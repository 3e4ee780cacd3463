// Scenario: the controller the simulator plays, read from a JSON file. The "controller" section
// gives its identity and login behaviour; every other section (objects, setup, names, log,
// events, ...) is kept as parsed JSON for the handlers that read it, and sections nobody reads
// are ignored. See docs/simulator.md for the format.
//
// Thread contract: a value type.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "link/network_session.h"
#include "platform/status.h"
#include "sim/setup_scenario.h"

namespace zel::sim {

inline constexpr PrivateKey kSimDefaultPrivateKey = {
    0x3C, 0x91, 0x0E, 0xA7, 0x52, 0xD8, 0x1B, 0x66, 0xF4, 0x29, 0x8D, 0xC3, 0x07, 0xBE, 0x45, 0x7A};

struct Firmware {
  int major = 3;
  int minor = 2;
  int revision = 0;  // signed: below 0 for pre-release builds
};

// The longest phone number a system information reply can carry (one frame).
inline constexpr size_t kMaxPhoneNumber = 249;

struct Scenario {
  int model = 30;  // the model code the system-information reply carries
  Firmware firmware;
  std::string phone_number;
  std::string access_code = "1234";  // four digits
  // True: the controller acknowledges the probe without a login. False: it answers the probe
  // with the negative acknowledge until the server logs in.
  bool probe_ack = false;
  // The private key of the UDP side (text form "3C-91-..."): by default the network transport's
  // own default, so a server with default settings gets a session.
  PrivateKey private_key = kSimDefaultPrivateKey;
  // The "setup" section: payload bytes per upload block (the block itself is built from the
  // document when uploaded, see sim/setup_scenario.h); the "status" section.
  size_t setup_block_size = 64;
  StatusScenario status;
  nlohmann::json document = nlohmann::json::object();  // the whole file, for later sections
};

// Parses scenario text. E_INVALIDARG with a reason in *error for text that is not JSON or a
// controller section whose fields have the wrong type or range.
HRESULT ParseScenario(std::string_view text, Scenario* out, std::string* error);
// A private key text of all sixteen groups (as the scenario and the control channel take it).
// E_INVALIDARG for anything else.
HRESULT ParseFullPrivateKey(std::string_view text, PrivateKey* key);
// Reads and parses a file; a missing file is 0x80070002.
HRESULT LoadScenarioFile(const std::string& path, Scenario* out, std::string* error);

}  // namespace zel::sim
