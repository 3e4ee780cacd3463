#include "mqtt/commands.h"

#include <algorithm>

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
  if (c.kind != "area" && c.kind != "zone" && c.kind != "unit" && c.kind != "button") {
    return std::nullopt;
  }

  bridge::Json j = bridge::Json::parse(payload, nullptr, /*allow_exceptions=*/false);
  if (!j.is_discarded() && j.is_object()) {
    if (j.contains("action") && j["action"].is_string()) c.action = j["action"];
    if (j.contains("code") && j["code"].is_string()) c.code = j["code"];
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
  } else if (c.action == "PRESS") {
    c.member = "Execute";
  } else {
    c.refusal = "a button takes PRESS";
  }
  return c;
}

}  // namespace zel::mqtt
