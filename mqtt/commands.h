// Commands from the broker: "<base>/KIND/ID/set" with a plain payload, or a JSON object with
// "action" and "code":
//
//   area/ID/set    ARM_HOME, ARM_NIGHT, ARM_AWAY, ARM_VACATION (modes 1, 2, 3, 4), DISARM
//   zone/ID/set    BYPASS, RESTORE
//   unit/ID/set    ON, OFF, or a level 0 to 100
//   button/ID/set  PRESS
//   thermostat/ID/set  {"action":A,"value":V}: HEAT_SETPOINT_F, HEAT_SETPOINT_C,
//                  COOL_SETPOINT_F, COOL_SETPOINT_C (degrees); SYSTEM_MODE (off, heat, cool,
//                  auto, emergency_heat or the controller's number); FAN_MODE (auto, on, cycle
//                  or a number); HOLD_MODE (off, hold or a number)
//
// Arming, disarming, bypass and restore need a controller code: the command's "code", else the
// config's arm_code. Areas may be armed or disarmed from the broker only when the config lists
// them (arm_areas). Every command goes through the bridge like a client's call, and its outcome
// is published on "<base>/result":
//
//   {"topic":"zelcommsrv/area/1/set","action":"ARM_AWAY","status":"00000000","statusName":"S_OK"}
//   {"topic":...,"status":"C0000005","statusName":"E_SRV_LOGIN_DENIED","error":"..."}
//
// Codes never appear in results or logs.
//
// Thread contract: Parse is stateless; commands are queued by the broker's network thread and
// run on the state loop's thread, which owns the bridge session.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bridge/client.h"
#include "mqtt/mqtt_config.h"

namespace zel::mqtt {

struct Command {
  std::string topic;   // as received
  std::string kind;    // area, zone, unit, button, thermostat
  int id = 0;          // the element's ID
  std::string action;  // as given, upper case
  std::string code;    // "" when the command gave none
  // The member to call (or, with put, to assign `value` to) on the element and its arguments;
  // empty member: refused (reason).
  std::string member;
  bool put = false;
  bridge::Json args = bridge::Json::array();
  bridge::Json value;
  std::string refusal;
};

// The controller's value of a thermostat mode named by the platform ("heat"), or given as a
// number; nullopt when it is neither. kind is SYSTEM_MODE, FAN_MODE or HOLD_MODE.
std::optional<int> ThermostatModeValue(const std::string& kind, const bridge::Json& value);

// The command of one message; nullopt for a topic that is no command topic of ours.
std::optional<Command> ParseCommand(const MqttConfig& config, const std::string& topic,
                                    const std::string& payload);

}  // namespace zel::mqtt
