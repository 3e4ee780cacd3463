#include "mqtt/discovery.h"

#include <algorithm>

#include "bridge/client.h"

namespace zel::mqtt {
namespace {

using bridge::Json;

Json Parse(const std::string& payload) {
  Json j = Json::parse(payload, nullptr, /*allow_exceptions=*/false);
  return j.is_object() ? j : Json::object();
}

std::string Dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

// The controller's system modes and fan modes by the platform's names; the state templates
// below read them back the other way.
constexpr const char* kSystemModeTemplate =
    "{% set m = {0: 'off', 1: 'heat', 2: 'cool', 3: 'auto', 4: 'heat'} %}"
    "{{ m.get(value_json.systemMode, 'off') }}";
constexpr const char* kFanModeTemplate =
    "{% set m = {0: 'auto', 1: 'on', 2: 'cycle'} %}{{ m.get(value_json.fanMode, 'auto') }}";

}  // namespace

std::string DiscoveryNode(const std::string& base) {
  std::string node = base;
  for (char& c : node) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '_' || c == '-';
    if (!safe) c = '_';
  }
  return node;
}

bool UsesCelsius(const std::map<std::string, std::string>& states) {
  auto it = states.find("server");
  if (it == states.end()) return false;
  Json format = Parse(it->second).value("temperatureFormat", Json());
  return format.is_number_integer() && format.get<int>() == 2;
}

std::map<std::string, std::string> DiscoveryConfigs(
    const MqttConfig& config, const std::map<std::string, std::string>& states) {
  std::map<std::string, std::string> out;
  auto server_it = states.find("server");
  if (server_it == states.end()) return out;
  const Json server = Parse(server_it->second);
  const std::string base = config.base_topic;
  const std::string node = DiscoveryNode(base);
  const std::string model = server.value("model", std::string());
  Json device = {{"identifiers", Json::array({node})},
                 {"name", model.empty() ? std::string("zelcommsrv") : model}};
  if (!model.empty()) device["model"] = model;
  const std::string firmware = server.value("firmware", std::string());
  if (!firmware.empty()) device["sw_version"] = firmware;
  const Json availability =
      Json::array({{{"topic", base + "/status"}}, {{"topic", base + "/link"}}});
  const bool celsius = UsesCelsius(states);
  const char* scale = celsius ? "C" : "F";

  auto add = [&](const char* component, const std::string& object_id, const std::string& name,
                 Json entity) {
    entity["name"] = name;
    entity["unique_id"] = node + "_" + object_id;
    entity["device"] = device;
    entity["origin"] = {{"name", "zelmqtt"}};
    entity["availability"] = availability;
    entity["availability_mode"] = "all";
    out[config.discovery_prefix + "/" + component + "/" + node + "/" + object_id + "/config"] =
        Dump(entity);
  };

  for (const auto& [topic, payload] : states) {
    const size_t slash = topic.find('/');
    if (slash == std::string::npos) continue;
    const std::string kind = topic.substr(0, slash);
    const std::string id = topic.substr(slash + 1);
    const Json state = Parse(payload);
    const std::string name = state.value("name", std::string());
    if (name.empty()) continue;  // an unnamed element is not in use
    const std::string state_topic = base + "/" + topic;
    const std::string command_topic = state_topic + "/set";
    const std::string object_id = kind + "_" + id;

    if (kind == "zone") {
      add("binary_sensor", object_id, name,
          {{"state_topic", state_topic},
           {"value_template", "{{ 'ON' if value_json.condition == 1 else 'OFF' }}"}});
      add("switch", object_id + "_bypass", name + " bypass",
          {{"state_topic", state_topic},
           {"value_template", "{{ 'ON' if value_json.state == 'bypassed' else 'OFF' }}"},
           {"command_topic", command_topic},
           {"payload_on", "BYPASS"},
           {"payload_off", "RESTORE"},
           {"state_on", "ON"},
           {"state_off", "OFF"},
           {"icon", "mdi:shield-off-outline"}});
    } else if (kind == "unit") {
      Json entity = {{"command_topic", command_topic},
                     {"payload_on", "ON"},
                     {"payload_off", "OFF"},
                     {"state_topic", state_topic}};
      const char* on_off = "{{ 'ON' if value_json.state == 'on' else 'OFF' }}";
      if (state.value("dimmable", false)) {
        entity["state_value_template"] = on_off;
        entity["brightness_command_topic"] = command_topic;
        entity["brightness_state_topic"] = state_topic;
        entity["brightness_value_template"] =
            "{{ value_json.level if value_json.level is not none else 0 }}";
        entity["brightness_scale"] = 100;
        // A level alone: an ON after it would put the unit at full brightness.
        entity["on_command_type"] = "brightness";
        add("light", object_id, name, std::move(entity));
      } else {
        entity["value_template"] = on_off;
        entity["state_on"] = "ON";
        entity["state_off"] = "OFF";
        add("switch", object_id, name, std::move(entity));
      }
    } else if (kind == "area") {
      const int area = std::atoi(id.c_str());
      const bool armable = std::find(config.arm_areas.begin(), config.arm_areas.end(), area) !=
                           config.arm_areas.end();
      Json entity = {{"state_topic", state_topic},
                     {"value_template", "{{ value_json.state }}"},
                     {"command_topic", command_topic},
                     {"supported_features",
                      armable ? Json::array({"arm_home", "arm_away", "arm_night", "arm_vacation"})
                              : Json::array()}};
      if (config.arm_code.empty()) {
        // The user gives the code at the panel card; it travels in the command.
        entity["code"] = "REMOTE_CODE";
        entity["code_arm_required"] = true;
        entity["code_disarm_required"] = true;
        entity["command_template"] = R"({"action":"{{ action }}","code":"{{ code }}"})";
      } else {
        entity["code_arm_required"] = false;
        entity["code_disarm_required"] = false;
      }
      add("alarm_control_panel", object_id, name, std::move(entity));
    } else if (kind == "thermostat") {
      const std::string s = scale;
      auto setpoint = [&](const char* action) {
        return std::string(R"({"action":")") + action + "_" + s + R"(","value":{{ value }}})";
      };
      add("climate", object_id, name,
          {{"temperature_unit", s},
           {"precision", celsius ? 0.5 : 1.0},
           {"min_temp", celsius ? -18 : 0},
           {"max_temp", celsius ? 50 : 122},
           {"current_temperature_topic", state_topic},
           {"current_temperature_template", "{{ value_json.temperature" + s + " }}"},
           {"temperature_low_state_topic", state_topic},
           {"temperature_low_state_template", "{{ value_json.heatSetpoint" + s + " }}"},
           {"temperature_low_command_topic", command_topic},
           {"temperature_low_command_template", setpoint("HEAT_SETPOINT")},
           {"temperature_high_state_topic", state_topic},
           {"temperature_high_state_template", "{{ value_json.coolSetpoint" + s + " }}"},
           {"temperature_high_command_topic", command_topic},
           {"temperature_high_command_template", setpoint("COOL_SETPOINT")},
           {"modes", Json::array({"off", "heat", "cool", "auto"})},
           {"mode_state_topic", state_topic},
           {"mode_state_template", kSystemModeTemplate},
           {"mode_command_topic", command_topic},
           {"mode_command_template", R"({"action":"SYSTEM_MODE","value":"{{ value }}"})"},
           {"fan_modes", Json::array({"auto", "on", "cycle"})},
           {"fan_mode_state_topic", state_topic},
           {"fan_mode_state_template", kFanModeTemplate},
           {"fan_mode_command_topic", command_topic},
           {"fan_mode_command_template", R"({"action":"FAN_MODE","value":"{{ value }}"})"}});
    } else if (kind == "sensor") {
      add("sensor", object_id, name,
          {{"state_topic", state_topic},
           {"value_template", "{{ value_json.temperature" + std::string(scale) + " }}"},
           {"device_class", "temperature"},
           {"state_class", "measurement"},
           {"unit_of_measurement", celsius ? "°C" : "°F"}});
    } else if (kind == "button") {
      add("button", object_id, name,
          {{"command_topic", command_topic}, {"payload_press", "PRESS"}});
    }
  }
  return out;
}

}  // namespace zel::mqtt
