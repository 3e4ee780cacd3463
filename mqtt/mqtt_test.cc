// zelmqtt's own tables: the config file's rules and the mapping of the controller's values to
// the published states. The program against a real broker is tests/e2e/mqtt_e2e_test.py.
#include <gtest/gtest.h>

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
                                  "refresh_seconds = 2\n",
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
