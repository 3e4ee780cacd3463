#include "mqtt/mqtt_config.h"

#include <cerrno>
#include <fstream>
#include <sstream>

namespace zel::mqtt {
namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r");
  return s.substr(b, e - b + 1);
}

bool ParseInt(const std::string& text, int low, int high, int* out) {
  if (text.empty() || text.size() > 9) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < low || v > high) return false;
  *out = v;
  return true;
}

// A topic level without MQTT's wildcards and separators at its ends.
bool GoodTopic(const std::string& t) {
  return !t.empty() && t.find_first_of("#+") == std::string::npos && t.front() != '/' &&
         t.back() != '/';
}

}  // namespace

HRESULT ParseMqttConfig(const std::string& text, const std::string& name, MqttConfig* config,
                        std::string* error) {
  MqttConfig c;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    auto fail = [&](const std::string& why) {
      *error = name + ":" + std::to_string(number) + ": " + why;
      return E_INVALIDARG;
    };
    size_t eq = t.find('=');
    if (eq == std::string::npos) return fail("expected \"key = value\"");
    std::string key = Trim(t.substr(0, eq)), value = Trim(t.substr(eq + 1));
    if (key == "broker_host") {
      if (value.empty()) return fail("broker_host needs a host name or address");
      c.broker_host = value;
    } else if (key == "broker_port") {
      if (!ParseInt(value, 1, 65535, &c.broker_port)) return fail("broker_port must be 1 to 65535");
    } else if (key == "broker_tls_ca") {
      c.broker_tls_ca = value;
    } else if (key == "broker_user") {
      c.broker_user = value;
    } else if (key == "broker_password") {
      c.broker_password = value;
    } else if (key == "base_topic" || key == "discovery_prefix") {
      if (!GoodTopic(value)) return fail(key + " must be a topic without +, # or an outer /");
      (key == "base_topic" ? c.base_topic : c.discovery_prefix) = value;
    } else if (key == "bridge_socket") {
      c.bridge_socket = value;
    } else if (key == "arm_areas") {
      c.arm_areas.clear();
      std::istringstream list(value);
      std::string item;
      while (std::getline(list, item, ',')) {
        int area = 0;
        if (!ParseInt(Trim(item), 1, 65535, &area)) {
          return fail("arm_areas must list area numbers, separated by commas");
        }
        c.arm_areas.push_back(area);
      }
    } else if (key == "arm_code") {
      c.arm_code = value;
    } else if (key == "refresh_seconds") {
      if (!ParseInt(value, 1, 3600, &c.refresh_seconds)) {
        return fail("refresh_seconds must be 1 to 3600");
      }
    } else {
      return fail("unknown key \"" + key + "\"");
    }
  }
  *config = std::move(c);
  return S_OK;
}

HRESULT LoadMqttConfig(const std::string& path, MqttConfig* config, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    int err = errno;
    *error = "cannot read " + path;
    return HresultFromErrno(err != 0 ? err : ENOENT);
  }
  std::stringstream text;
  text << in.rdbuf();
  return ParseMqttConfig(text.str(), path, config, error);
}

}  // namespace zel::mqtt
