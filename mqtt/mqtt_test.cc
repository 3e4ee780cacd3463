// zelmqtt's own tables: the config file's rules and the mapping of the controller's values to
// the published states. The program against a real broker is tests/e2e/mqtt_e2e_test.py.
#include <gtest/gtest.h>

#include "mqtt/commands.h"
#include "mqtt/event_relay.h"
#include "mqtt/installation_state.h"
#include "mqtt/mqtt_config.h"

namespace zel::mqtt {
namespace {

TEST(MqttConfigTest, KeysValuesAndDefaults) {
  MqttConfig c;
  std::string error;
  ASSERT_EQ(S_OK, ParseMqttConfig("", "x.conf", &c, &error));
  EXPECT_EQ("127.0.0.1", c.broker_host);
  EXPECT_EQ(1883, c.broker_port);
  EXPECT_EQ("zelcommsrv", c.base_topic);
  EXPECT_EQ("homeassistant", c.discovery_prefix);
  EXPECT_EQ(5, c.refresh_seconds);
  ASSERT_EQ(S_OK, ParseMqttConfig("# broker\n  broker_host =  mqtt.lan \n\nbroker_port=8883\n"
                                  "broker_tls_ca = /etc/ca.pem\nbroker_user = zel\n"
                                  "broker_password = p = q\nbase_topic = home/alarm\n"
                                  "discovery_prefix = ha\nbridge_socket = /run/z.sock\n"
                                  "refresh_seconds = 2\narm_areas = 1, 3\narm_code = 0123\n",
                                  "x.conf", &c, &error))
      << error;
  EXPECT_EQ("mqtt.lan", c.broker_host);
  EXPECT_EQ(8883, c.broker_port);
  EXPECT_EQ("/etc/ca.pem", c.broker_tls_ca);
  EXPECT_EQ("zel", c.broker_user);
  EXPECT_EQ("p = q", c.broker_password);  // only the first '=' separates
  EXPECT_EQ("home/alarm", c.base_topic);
  EXPECT_EQ("ha", c.discovery_prefix);
  EXPECT_EQ("/run/z.sock", c.bridge_socket);
  EXPECT_EQ(2, c.refresh_seconds);
  EXPECT_EQ((std::vector<int>{1, 3}), c.arm_areas);
  EXPECT_EQ("0123", c.arm_code);  // a code keeps its digits
}

TEST(MqttConfigTest, FaultsNameTheLineAndTheReason) {
  const std::pair<const char*, const char*> kBad[] = {
      {"broker_host\n", "x.conf:1: expected \"key = value\""},
      {"\n# c\nbroker_hots = a\n", "x.conf:3: unknown key \"broker_hots\""},
      {"broker_port = 0\n", "broker_port must be 1 to 65535"},
      {"broker_port = 65536\n", "broker_port must be 1 to 65535"},
      {"broker_port = 18a3\n", "broker_port must be 1 to 65535"},
      {"broker_host =\n", "broker_host needs"},
      {"base_topic = zel/#\n", "base_topic must be a topic"},
      {"discovery_prefix = /ha\n", "discovery_prefix must be a topic"},
      {"base_topic =\n", "base_topic must be a topic"},
      {"refresh_seconds = 0\n", "refresh_seconds must be 1 to 3600"},
      {"arm_areas = 1, two\n", "arm_areas must list area numbers"},
      {"arm_areas = 1,,2\n", "arm_areas must list area numbers"},
  };
  for (const auto& [text, reason] : kBad) {
    MqttConfig c;
    c.broker_host = "kept";
    std::string error;
    EXPECT_EQ(E_INVALIDARG, ParseMqttConfig(text, "x.conf", &c, &error)) << text;
    EXPECT_NE(std::string::npos, error.find(reason)) << text << ": " << error;
    EXPECT_EQ("kept", c.broker_host) << "a refused file changes nothing";
  }
  MqttConfig c;
  std::string error;
  EXPECT_TRUE(Failed(LoadMqttConfig("/nonexistent/zelmqtt.conf", &c, &error)));
  EXPECT_NE(std::string::npos, error.find("cannot read /nonexistent/zelmqtt.conf"));
}

TEST(StateNamesTest, AreaModes) {
  const std::pair<int, const char*> kModes[] = {
      {0, "disarmed"},    {1, "armed_home"},     {2, "armed_night"},
      {3, "armed_away"},  {4, "armed_vacation"}, {5, "armed_home"},
      {6, "armed_night"}, {9, "arming"},         {14, "arming"},
  };
  for (const auto& [mode, name] : kModes) {
    EXPECT_EQ(name, AreaStateName(mode, false).value_or("(none)")) << mode;
    EXPECT_EQ("triggered", AreaStateName(mode, true).value_or("(none)")) << mode;
  }
  for (int unknown : {7, 8, 15, 255, -1}) EXPECT_FALSE(AreaStateName(unknown, false)) << unknown;
}

TEST(StateNamesTest, ZonesAndUnits) {
  struct Zone {
    int condition, arming;
    const char* name;
  };
  const Zone kZones[] = {
      {0, 0, "closed"},   {0, 3, "closed"},   {1, 0, "open"},     {1, 3, "open"},
      {2, 0, "trouble"},  {3, 3, "trouble"},  {0, 1, "bypassed"}, {1, 1, "bypassed"},
      {2, 2, "bypassed"}, {3, 2, "bypassed"},
  };
  for (const Zone& z : kZones) {
    EXPECT_EQ(z.name, ZoneStateName(z.condition, z.arming)) << z.condition << "," << z.arming;
  }
  struct Unit {
    int status;
    const char* state;
    int level;  // -1: none
  };
  const Unit kUnits[] = {{0, "off", 0},    {1, "on", 100}, {100, "off", 0}, {101, "on", 1},
                         {200, "on", 100}, {2, "on", -1},  {17, "on", -1},  {201, "on", -1}};
  for (const Unit& u : kUnits) {
    EXPECT_EQ(u.state, UnitStateName(u.status)) << u.status;
    EXPECT_EQ(u.level, UnitLevel(u.status).value_or(-1)) << u.status;
  }
}

TEST(CommandsTest, EachTopicAndPayloadBecomesItsCallOrAReason) {
  MqttConfig config;
  config.arm_areas = {1};
  config.arm_code = "1234";
  struct Case {
    const char* topic;
    const char* payload;
    const char* member;  // "" when refused
    const char* args;    // JSON, when not refused
  };
  const Case kCases[] = {
      {"zelcommsrv/area/1/set", "ARM_HOME", "Arm", R"(["1234",1])"},
      {"zelcommsrv/area/1/set", "arm_night", "Arm", R"(["1234",2])"},
      {"zelcommsrv/area/1/set", "ARM_AWAY", "Arm", R"(["1234",3])"},
      {"zelcommsrv/area/1/set", "ARM_VACATION", "Arm", R"(["1234",4])"},
      {"zelcommsrv/area/1/set", R"({"action":"ARM_AWAY","code":"0042"})", "Arm", R"(["0042",3])"},
      {"zelcommsrv/area/1/set", "DISARM", "Disarm", R"(["1234"])"},
      {"zelcommsrv/area/2/set", "DISARM", "", ""},  // not in arm_areas
      {"zelcommsrv/area/1/set", "ARM_CUSTOM_BYPASS", "", ""},
      {"zelcommsrv/zone/5/set", "BYPASS", "Bypass", R"(["1234"])"},
      {"zelcommsrv/zone/5/set", "restore", "Restore", R"(["1234"])"},
      {"zelcommsrv/zone/5/set", "OPEN", "", ""},
      {"zelcommsrv/unit/3/set", "ON", "On", "[]"},
      {"zelcommsrv/unit/3/set", "OFF", "Off", "[]"},
      {"zelcommsrv/unit/3/set", "40", "Level", "[40]"},
      {"zelcommsrv/unit/3/set", "101", "", ""},
      {"zelcommsrv/unit/3/set", "-1", "", ""},
      {"zelcommsrv/button/2/set", "PRESS", "Execute", "[]"},
      {"zelcommsrv/button/2/set", "", "", ""},
  };
  for (const Case& c : kCases) {
    std::optional<Command> command = ParseCommand(config, c.topic, c.payload);
    ASSERT_TRUE(command) << c.topic << " " << c.payload;
    EXPECT_EQ(c.member, command->member) << c.topic << " " << c.payload;
    if (*c.member != '\0') {
      EXPECT_EQ(bridge::Json::parse(c.args), command->args) << c.topic << " " << c.payload;
    } else {
      EXPECT_FALSE(command->refusal.empty()) << c.topic << " " << c.payload;
    }
  }
  // Without a code anywhere, commands that need one are refused and those that do not run.
  config.arm_code.clear();
  EXPECT_EQ("", ParseCommand(config, "zelcommsrv/area/1/set", "DISARM")->member);
  EXPECT_EQ("On", ParseCommand(config, "zelcommsrv/unit/3/set", "ON")->member);
  // Topics that are not command topics of ours.
  for (const char* topic :
       {"zelcommsrv/area/1", "zelcommsrv/area/x/set", "zelcommsrv/thermostat/1/set",
        "other/area/1/set", "zelcommsrv/area/1/set/more", "zelcommsrv/area//set"}) {
    EXPECT_FALSE(ParseCommand(config, topic, "DISARM")) << topic;
  }
}

TEST(EventRelayTest, AnEventKeepsItsValuesAndNamesItsObjectsWithoutHandles) {
  const bridge::Json event = bridge::Json::parse(R"({
    "seq": 12, "interface": "_DZelServerEvents", "member": "OnSystemEvent", "dispid": 5,
    "arguments": [
      {"vt": 9, "object": "h7", "class": "CZelArmEvent",
       "properties": {"Index": {"vt": 19, "value": 1203}, "Time": {"vt": 7, "value": 46000.5},
                      "Area": {"vt": 9, "object": "h3", "class": "CZelArea", "name": "HOUSE"},
                      "Nothing": {"vt": 9, "object": null}}},
      {"vt": 3, "value": 4},
      {"vt": 8, "value": "text"}]})");
  EXPECT_EQ(bridge::Json::parse(R"({
    "event": "OnSystemEvent", "seq": 12,
    "arguments": [
      {"class": "CZelArmEvent",
       "properties": {"Index": 1203, "Time": 46000.5, "Area": {"class": "CZelArea", "name": "HOUSE"},
                      "Nothing": null}},
      4, "text"]})"),
            EventRelay::Simplify(event));
  EXPECT_EQ(bridge::Json::parse(R"({"event": "", "arguments": []})"),
            EventRelay::Simplify(bridge::Json::object()));
}

}  // namespace
}  // namespace zel::mqtt
