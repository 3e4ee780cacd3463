// MqttConfig: zelmqtt's settings, from a small text file (default /etc/zelcommsrv/zelmqtt.conf):
//
//   # comment
//   broker_host = 127.0.0.1
//   broker_port = 1883
//   broker_tls_ca = /etc/ssl/certs/ca-certificates.crt   # TLS to the broker when set
//   broker_user = zel
//   broker_password = secret
//   base_topic = zelcommsrv
//   discovery_prefix = homeassistant
//   bridge_socket = /var/lib/zelcommsrv/zelbridge.sock
//   refresh_seconds = 5
//   arm_areas = 1, 2          # areas that may be armed and disarmed from the broker
//   arm_code = 1234           # the code of commands that carry none
//
// One "key = value" per line; blank lines and lines starting with '#' are skipped; spaces around
// key and value are dropped. An unknown key, a value that does not fit its key, or a file that
// cannot be read is refused with the line and the reason: zelmqtt never guesses at its broker.
//
// Thread contract: a loaded config is an immutable value.
#pragma once

#include <string>
#include <vector>

#include "platform/status.h"

namespace zel::mqtt {

inline constexpr const char* kDefaultConfigPath = "/etc/zelcommsrv/zelmqtt.conf";

struct MqttConfig {
  std::string broker_host = "127.0.0.1";
  int broker_port = 1883;
  std::string broker_tls_ca;  // "" for a plain connection
  std::string broker_user;
  std::string broker_password;
  std::string base_topic = "zelcommsrv";
  std::string discovery_prefix = "homeassistant";
  std::string bridge_socket;   // "" for zelbridge.sock in the instance directory
  int refresh_seconds = 5;     // how often every state is read again
  std::vector<int> arm_areas;  // IDs of the areas commands may arm and disarm (none by default)
  std::string arm_code;        // the code of commands that carry none ("": they must carry one)
};

// Reads the file at path into *config (defaults for what it leaves out). E_INVALIDARG with
// *error ("zelmqtt.conf:3: ...") on a fault; the file's own error code when it cannot be read.
HRESULT LoadMqttConfig(const std::string& path, MqttConfig* config, std::string* error);
// The same from text (tests).
HRESULT ParseMqttConfig(const std::string& text, const std::string& name, MqttConfig* config,
                        std::string* error);

}  // namespace zel::mqtt
