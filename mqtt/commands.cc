#include "mqtt/commands.h"

#include <algorithm>
#include <map>

namespace zel::mqtt {
namespace {

std::string Upper(std::string s) {
  for (char& ch : s) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
  }
  return s;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && s.size() <= 6 &&
         std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::optional<int> ThermostatModeValue(const std::string& kind, const bridge::Json& value) {
  static const std::map<std::string, std::map<std::string, int>> kNames = {
      {"SYSTEM_MODE", {{"off", 0}, {"heat", 1}, {"cool", 2}, {"auto", 3}, {"emergency_heat", 4}}},
      {"FAN_MODE", {{"auto", 0}, {"on", 1}, {"cycle", 2}}},
      {"HOLD_MODE", {{"off", 0}, {"hold", 1}}},
  };
  auto names = kNames.find(kind);
  if (names == kNames.end()) return std::nullopt;
  std::string text;
  if (value.is_number_integer()) {
    text = std::to_string(value.get<int64_t>());
  } else if (value.is_string()) {
    text = value.get<std::string>();
  } else {
    return std::nullopt;
  }
  auto named = names->second.find(text);
  if (named != names->second.end()) return named->second;
  if (AllDigits(text) && std::stoi(text) <= 255) return std::stoi(text);
  return std::nullopt;
}

std::optional<Command> ParseCommand(const MqttConfig& config, const std::string& topic,
                                    const std::string& payload) {
  // <base>/KIND/ID/set
  const std::string prefix = config.base_topic + "/";
  if (topic.rfind(prefix, 0) != 0) return std::nullopt;
  std::string rest = topic.substr(prefix.size());
  size_t a = rest.find('/'), b = a == std::string::npos ? a : rest.find('/', a + 1);
  if (b == std::string::npos || rest.substr(b) != "/set") return std::nullopt;
  Command c;
  c.topic = topic;
  c.kind = rest.substr(0, a);
  std::string id = rest.substr(a + 1, b - a - 1);
  if (!AllDigits(id)) return std::nullopt;
  c.id = std::stoi(id);
  if (c.kind != "area" && c.kind != "zone" && c.kind != "unit" && c.kind != "button" &&
      c.kind != "thermostat") {
    return std::nullopt;
  }

  bridge::Json j = bridge::Json::parse(payload, nullptr, /*allow_exceptions=*/false);
  bridge::Json value;
  if (!j.is_discarded() && j.is_object()) {
    if (j.contains("action") && j["action"].is_string()) c.action = j["action"];
    if (j.contains("code") && j["code"].is_string()) c.code = j["code"];
    if (j.contains("value")) value = j["value"];
  } else {
    c.action = payload;
  }
  c.action = Upper(c.action);
  const std::string code = c.code.empty() ? config.arm_code : c.code;

  auto needs_code = [&](const char* member, bridge::Json args) {
    if (code.empty()) {
      c.refusal = "a code is needed (in the command, or arm_code in the config)";
      return;
    }
    c.member = member;
    c.args = bridge::Json::array({code});
    for (auto& extra : args) c.args.push_back(extra);
  };
  if (c.kind == "area") {
    const bool allowed =
        std::find(config.arm_areas.begin(), config.arm_areas.end(), c.id) != config.arm_areas.end();
    static const std::pair<const char*, int> kModes[] = {
        {"ARM_HOME", 1}, {"ARM_NIGHT", 2}, {"ARM_AWAY", 3}, {"ARM_VACATION", 4}};
    auto mode = std::find_if(std::begin(kModes), std::end(kModes),
                             [&](const auto& m) { return c.action == m.first; });
    if (!allowed) {
      c.refusal = "area " + std::to_string(c.id) + " is not in arm_areas";
    } else if (mode != std::end(kModes)) {
      needs_code("Arm", bridge::Json::array({mode->second}));
    } else if (c.action == "DISARM") {
      needs_code("Disarm", bridge::Json::array());
    } else {
      c.refusal = "an area takes ARM_HOME, ARM_NIGHT, ARM_AWAY, ARM_VACATION or DISARM";
    }
  } else if (c.kind == "zone") {
    if (c.action == "BYPASS" || c.action == "RESTORE") {
      needs_code(c.action == "BYPASS" ? "Bypass" : "Restore", bridge::Json::array());
    } else {
      c.refusal = "a zone takes BYPASS or RESTORE";
    }
  } else if (c.kind == "unit") {
    if (c.action == "ON" || c.action == "OFF") {
      c.member = c.action == "ON" ? "On" : "Off";
    } else if (AllDigits(c.action) && std::stoi(c.action) <= 100) {
      c.member = "Level";
      c.args = bridge::Json::array({std::stoi(c.action)});
    } else {
      c.refusal = "a unit takes ON, OFF or a level from 0 to 100";
    }
  } else if (c.kind == "thermostat") {
    static const std::map<std::string, const char*> kSetpoints = {
        {"HEAT_SETPOINT_F", "HeatSetpointF"},
        {"HEAT_SETPOINT_C", "HeatSetpointC"},
        {"COOL_SETPOINT_F", "CoolSetpointF"},
        {"COOL_SETPOINT_C", "CoolSetpointC"}};
    static const std::map<std::string, const char*> kModes = {
        {"SYSTEM_MODE", "SystemMode"}, {"FAN_MODE", "FanMode"}, {"HOLD_MODE", "HoldMode"}};
    auto setpoint = kSetpoints.find(c.action);
    auto mode = kModes.find(c.action);
    if (setpoint != kSetpoints.end()) {
      // Degrees as a number or as its text ("68.5"); the server limits them to what the
      // thermostat accepts.
      double degrees = 0;
      bool number = value.is_number();
      if (number) {
        degrees = value.get<double>();
      } else if (value.is_string()) {
        bridge::Json parsed =
            bridge::Json::parse(value.get<std::string>(), nullptr, /*allow_exceptions=*/false);
        number = parsed.is_number();
        if (number) degrees = parsed.get<double>();
      }
      if (number && degrees >= -40 && degrees <= 200) {
        c.member = setpoint->second;
        c.put = true;
        c.value = degrees;
      } else {
        c.refusal = "a setpoint takes a number of degrees in \"value\"";
      }
    } else if (mode != kModes.end()) {
      std::optional<int> v = ThermostatModeValue(c.action, value);
      if (v) {
        c.member = mode->second;
        c.put = true;
        c.value = *v;
      } else {
        c.refusal = "unknown " + c.action + " value";
      }
    } else {
      c.refusal =
          "a thermostat takes {\"action\":A,\"value\":V} with A HEAT_SETPOINT_F, "
          "HEAT_SETPOINT_C, COOL_SETPOINT_F, COOL_SETPOINT_C, SYSTEM_MODE, FAN_MODE or HOLD_MODE";
    }
  } else if (c.action == "PRESS") {
    c.member = "Execute";
  } else {
    c.refusal = "a button takes PRESS";
  }
  return c;
}

}  // namespace zel::mqtt
