// Home automation discovery: one retained config per entity, so that a platform that reads
// "<prefix>/<component>/<node>/<object_id>/config" (Home Assistant's MQTT discovery) finds the
// installation as one device with its entities:
//
//   zone (named)   binary_sensor  zone_ID         on while the zone is not secure (condition 1)
//                  switch         zone_ID_bypass  on while bypassed; BYPASS / RESTORE
//   unit           light          unit_ID         dimmable units, brightness 0-100
//                  switch         unit_ID         the others; ON / OFF
//   area           alarm_control_panel area_ID    the area's state; ARM_* / DISARM
//   thermostat     climate        thermostat_ID   temperature, heat/cool setpoints, modes
//   sensor         sensor         sensor_ID       its temperature
//   button         button         button_ID       PRESS
//
// The node is the base topic made safe for a topic level and an identifier ("zelcommsrv" by
// default). Two installations on one broker need two base topics anyway (their states would
// collide), so the node also identifies the device: it stays the same across restarts,
// reinstalls and controller firmware updates. The device carries the controller's model and
// firmware from the server's state.
//
// Every entity is available only while both "<base>/status" (zelmqtt is running and reads the
// server; its last will says "offline") and "<base>/link" (the server's link to the controller
// answers) say "online".
//
// Temperatures are given in the installation's own scale: the server's temperatureFormat 2 is
// Celsius, anything else Fahrenheit (the controller's factory setting).
//
// Thread contract: stateless.
#pragma once

#include <map>
#include <string>

#include "mqtt/mqtt_config.h"

namespace zel::mqtt {

// The node id and device identifier of base topic `base`.
std::string DiscoveryNode(const std::string& base);

// The configs of every entity of `states` (relative state topic -> payload, as the installation
// reader gives them, "server" included): full config topic -> retained JSON payload. Elements
// without a name and a missing server state give no configs.
std::map<std::string, std::string> DiscoveryConfigs(
    const MqttConfig& config, const std::map<std::string, std::string>& states);

// True when the installation's temperatures are in Celsius (server state's temperatureFormat).
bool UsesCelsius(const std::map<std::string, std::string>& states);

}  // namespace zel::mqtt
