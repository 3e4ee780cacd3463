// zelmqtt's own tables: the config file's rules and the mapping of the controller's values to
// the published states. The program against a real broker is tests/e2e/mqtt_e2e_test.py.
#include <gtest/gtest.h>

#include <set>

#include "mqtt/backoff.h"
#include "mqtt/commands.h"
#include "mqtt/discovery.h"
#include "mqtt/event_relay.h"
#include "mqtt/installation_state.h"
#include "mqtt/mqtt_config.h"
#include "mqtt/retained_topics.h"
#include "mqtt/zelmqtt.h"

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
  // Thermostats: setpoints in the scale the action names, modes by name or number, as puts.
  struct Put {
    const char* payload;
    const char* member;  // "" when refused
    double value;
  };
  const Put kPuts[] = {
      {R"({"action":"HEAT_SETPOINT_F","value":68})", "HeatSetpointF", 68},
      {R"({"action":"heat_setpoint_c","value":20.5})", "HeatSetpointC", 20.5},
      {R"({"action":"COOL_SETPOINT_F","value":"76.0"})", "CoolSetpointF", 76},
      {R"({"action":"COOL_SETPOINT_C","value":-40})", "CoolSetpointC", -40},
      {R"({"action":"COOL_SETPOINT_C","value":"warm"})", "", 0},
      {R"({"action":"HEAT_SETPOINT_F","value":1000})", "", 0},
      {R"({"action":"HEAT_SETPOINT_F"})", "", 0},
      {R"({"action":"SYSTEM_MODE","value":"off"})", "SystemMode", 0},
      {R"({"action":"SYSTEM_MODE","value":"heat"})", "SystemMode", 1},
      {R"({"action":"SYSTEM_MODE","value":"cool"})", "SystemMode", 2},
      {R"({"action":"SYSTEM_MODE","value":"auto"})", "SystemMode", 3},
      {R"({"action":"SYSTEM_MODE","value":"emergency_heat"})", "SystemMode", 4},
      {R"({"action":"SYSTEM_MODE","value":7})", "SystemMode", 7},
      {R"({"action":"SYSTEM_MODE","value":"dry"})", "", 0},
      {R"({"action":"SYSTEM_MODE","value":256})", "", 0},
      {R"({"action":"FAN_MODE","value":"auto"})", "FanMode", 0},
      {R"({"action":"FAN_MODE","value":"on"})", "FanMode", 1},
      {R"({"action":"FAN_MODE","value":"cycle"})", "FanMode", 2},
      {R"({"action":"HOLD_MODE","value":"hold"})", "HoldMode", 1},
      {R"({"action":"HOLD_MODE","value":"0"})", "HoldMode", 0},
      {R"({"action":"HOLD_MODE","value":"cycle"})", "", 0},
      {"HEAT", "", 0},
  };
  for (const Put& p : kPuts) {
    std::optional<Command> command = ParseCommand(config, "zelcommsrv/thermostat/2/set", p.payload);
    ASSERT_TRUE(command) << p.payload;
    EXPECT_EQ(p.member, command->member) << p.payload;
    if (*p.member != '\0') {
      EXPECT_TRUE(command->put) << p.payload;
      EXPECT_EQ(p.value, command->value.get<double>()) << p.payload;
    } else {
      EXPECT_FALSE(command->refusal.empty()) << p.payload;
    }
  }
  // Without a code anywhere, commands that need one are refused and those that do not run.
  config.arm_code.clear();
  EXPECT_EQ("", ParseCommand(config, "zelcommsrv/area/1/set", "DISARM")->member);
  EXPECT_EQ("On", ParseCommand(config, "zelcommsrv/unit/3/set", "ON")->member);
  // Topics that are not command topics of ours.
  for (const char* topic :
       {"zelcommsrv/area/1", "zelcommsrv/area/x/set", "zelcommsrv/sensor/1/set", "other/area/1/set",
        "zelcommsrv/area/1/set/more", "zelcommsrv/area//set"}) {
    EXPECT_FALSE(ParseCommand(config, topic, "DISARM")) << topic;
  }
}

// A small installation as the reader gives it.
std::map<std::string, std::string> SampleStates(int temperature_format) {
  return {
      {"server", R"({"status":16,"link":"up","linkFailures":0,"linkLastGood":null,)"
                 R"("temperatureFormat":)" +
                     std::to_string(temperature_format) +
                     R"(,"model":"MODEL 30","firmware":"3.2.0"})"},
      {"zone/1", R"({"name":"FRONT DOOR","state":"closed","area":1,"condition":0})"},
      {"zone/9", R"({"name":"","state":"closed","area":1,"condition":0})"},
      {"unit/2", R"({"name":"PORCH","state":"on","level":40,"status":140,"dimmable":true})"},
      {"unit/3", R"({"name":"PUMP","state":"off","level":0,"status":0,"dimmable":false})"},
      {"area/1", R"({"name":"HOUSE","state":"disarmed","mode":0,"alarm":false})"},
      {"area/2", R"({"name":"GARAGE","state":"disarmed","mode":0,"alarm":false})"},
      {"thermostat/1", R"({"name":"HALL","temperatureF":71.6,"systemMode":1})"},
      {"sensor/4", R"({"name":"ATTIC","temperatureF":80.6,"temperatureC":27.0})"},
      {"button/5", R"({"name":"GOOD NIGHT"})"},
      {"message/1", R"({"name":"CALL HOME","displayed":true})"},
  };
}

TEST(DiscoveryTest, EachElementGetsItsPlatformsConfig) {
  MqttConfig config;
  config.arm_areas = {1};
  const auto configs = DiscoveryConfigs(config, SampleStates(1));
  struct Row {
    const char* topic;
    const char* key;
    const char* value;  // JSON
  };
  const std::string h = "homeassistant/";
  const Row kRows[] = {
      {"binary_sensor/zelcommsrv/zone_1", "name", R"("FRONT DOOR")"},
      {"binary_sensor/zelcommsrv/zone_1", "state_topic", R"("zelcommsrv/zone/1")"},
      {"binary_sensor/zelcommsrv/zone_1", "value_template",
       R"("{{ 'ON' if value_json.condition == 1 else 'OFF' }}")"},
      {"switch/zelcommsrv/zone_1_bypass", "command_topic", R"("zelcommsrv/zone/1/set")"},
      {"switch/zelcommsrv/zone_1_bypass", "payload_on", R"("BYPASS")"},
      {"switch/zelcommsrv/zone_1_bypass", "payload_off", R"("RESTORE")"},
      {"switch/zelcommsrv/zone_1_bypass", "unique_id", R"("zelcommsrv_zone_1_bypass")"},
      {"light/zelcommsrv/unit_2", "command_topic", R"("zelcommsrv/unit/2/set")"},
      {"light/zelcommsrv/unit_2", "brightness_command_topic", R"("zelcommsrv/unit/2/set")"},
      {"light/zelcommsrv/unit_2", "brightness_scale", "100"},
      {"light/zelcommsrv/unit_2", "on_command_type", R"("brightness")"},
      {"light/zelcommsrv/unit_2", "state_value_template",
       R"("{{ 'ON' if value_json.state == 'on' else 'OFF' }}")"},
      {"switch/zelcommsrv/unit_3", "payload_on", R"("ON")"},
      {"switch/zelcommsrv/unit_3", "state_topic", R"("zelcommsrv/unit/3")"},
      {"alarm_control_panel/zelcommsrv/area_1", "command_topic", R"("zelcommsrv/area/1/set")"},
      {"alarm_control_panel/zelcommsrv/area_1", "value_template", R"("{{ value_json.state }}")"},
      {"alarm_control_panel/zelcommsrv/area_1", "supported_features",
       R"(["arm_home","arm_away","arm_night","arm_vacation"])"},
      {"alarm_control_panel/zelcommsrv/area_1", "code_arm_required", "true"},
      {"alarm_control_panel/zelcommsrv/area_1", "code", R"("REMOTE_CODE")"},
      {"alarm_control_panel/zelcommsrv/area_1", "command_template",
       R"("{\"action\":\"{{ action }}\",\"code\":\"{{ code }}\"}")"},
      {"alarm_control_panel/zelcommsrv/area_2", "supported_features", "[]"},
      {"climate/zelcommsrv/thermostat_1", "temperature_unit", R"("F")"},
      {"climate/zelcommsrv/thermostat_1", "current_temperature_template",
       R"("{{ value_json.temperatureF }}")"},
      {"climate/zelcommsrv/thermostat_1", "temperature_low_command_template",
       R"("{\"action\":\"HEAT_SETPOINT_F\",\"value\":{{ value }}}")"},
      {"climate/zelcommsrv/thermostat_1", "temperature_high_state_template",
       R"("{{ value_json.coolSetpointF }}")"},
      {"climate/zelcommsrv/thermostat_1", "mode_command_topic", R"("zelcommsrv/thermostat/1/set")"},
      {"climate/zelcommsrv/thermostat_1", "modes", R"(["off","heat","cool","auto"])"},
      {"sensor/zelcommsrv/sensor_4", "device_class", R"("temperature")"},
      {"sensor/zelcommsrv/sensor_4", "unit_of_measurement", R"("°F")"},
      {"sensor/zelcommsrv/sensor_4", "value_template", R"("{{ value_json.temperatureF }}")"},
      {"button/zelcommsrv/button_5", "command_topic", R"("zelcommsrv/button/5/set")"},
      {"button/zelcommsrv/button_5", "payload_press", R"("PRESS")"},
  };
  for (const Row& r : kRows) {
    const std::string topic = h + r.topic + "/config";
    ASSERT_EQ(1u, configs.count(topic)) << topic;
    bridge::Json c = bridge::Json::parse(configs.at(topic));
    EXPECT_EQ(bridge::Json::parse(r.value), c[r.key]) << topic << " " << r.key;
  }
  // Nine entities: two for the named zone, one per unit, area, thermostat, sensor and button; the
  // unnamed zone and the message have none.
  EXPECT_EQ(9u, configs.size());
  std::set<std::string> unique_ids;
  for (const auto& [topic, payload] : configs) {
    bridge::Json c = bridge::Json::parse(payload);
    unique_ids.insert(c["unique_id"].get<std::string>());
    EXPECT_EQ(bridge::Json::parse(R"({"identifiers":["zelcommsrv"],"name":"MODEL 30",)"
                                  R"("model":"MODEL 30","sw_version":"3.2.0"})"),
              c["device"])
        << topic;
    EXPECT_EQ(bridge::Json::parse(R"([{"topic":"zelcommsrv/status"},{"topic":"zelcommsrv/link"}])"),
              c["availability"])
        << topic;
    EXPECT_EQ("all", c["availability_mode"]) << topic;
  }
  EXPECT_EQ(configs.size(), unique_ids.size());
}

TEST(DiscoveryTest, ScaleCodeAndNodeFollowTheConfigAndTheInstallation) {
  MqttConfig config;
  config.arm_areas = {1};
  config.arm_code = "1234";
  config.base_topic = "home/alarm panel";
  config.discovery_prefix = "ha";
  const auto configs = DiscoveryConfigs(config, SampleStates(2));
  bridge::Json area =
      bridge::Json::parse(configs.at("ha/alarm_control_panel/home_alarm_panel/area_1/config"));
  // The code comes from the config: the platform asks for none and sends plain actions.
  EXPECT_EQ(false, area["code_arm_required"]);
  EXPECT_EQ(false, area["code_disarm_required"]);
  EXPECT_FALSE(area.contains("command_template"));
  EXPECT_FALSE(area.contains("code"));
  EXPECT_EQ("home/alarm panel/area/1/set", area["command_topic"]);
  EXPECT_EQ("home_alarm_panel_area_1", area["unique_id"]);
  bridge::Json sensor =
      bridge::Json::parse(configs.at("ha/sensor/home_alarm_panel/sensor_4/config"));
  EXPECT_EQ("°C", sensor["unit_of_measurement"]);
  EXPECT_EQ("{{ value_json.temperatureC }}", sensor["value_template"]);
  bridge::Json climate =
      bridge::Json::parse(configs.at("ha/climate/home_alarm_panel/thermostat_1/config"));
  EXPECT_EQ("C", climate["temperature_unit"]);
  EXPECT_EQ(R"({"action":"COOL_SETPOINT_C","value":{{ value }}})",
            climate["temperature_high_command_template"]);
  // Without the server's state there is no device to speak of.
  auto states = SampleStates(1);
  states.erase("server");
  EXPECT_TRUE(DiscoveryConfigs(config, states).empty());
  EXPECT_EQ("a_b-c_d", DiscoveryNode("a/b-c d"));
}

TEST(AvailabilityTest, LinkStateAndUnknownAreas) {
  auto with_server = [](const char* server) {
    return std::map<std::string, std::string>{{"server", server}};
  };
  EXPECT_TRUE(LinkOnline(with_server(R"({"status":16,"link":"up"})")));
  EXPECT_TRUE(LinkOnline(with_server(R"({"status":16,"link":"degraded"})")));
  EXPECT_FALSE(LinkOnline(with_server(R"({"status":16,"link":"down"})")));
  EXPECT_FALSE(LinkOnline(with_server(R"({"status":2,"link":"up"})")));
  EXPECT_TRUE(ServerInteractive(with_server(R"({"status":16,"link":"down"})")));
  EXPECT_FALSE(ServerInteractive(with_server(R"({"status":17,"link":"up"})")));  // stopping
  EXPECT_FALSE(ServerInteractive({}));
  EXPECT_FALSE(LinkOnline(with_server("not json")));
  EXPECT_FALSE(LinkOnline({}));

  MqttConfig config;
  std::map<std::string, std::string> states = {
      {"zelcommsrv/area/1", R"({"name":"HOUSE","state":"armed_away","mode":3,"alarm":false})"},
      {"zelcommsrv/zone/1", R"({"name":"DOOR","state":"open"})"},
      {"zelcommsrv/server", R"({"status":16})"}};
  auto before = states;
  ForgetAreaStates(config, &states);
  EXPECT_EQ(bridge::Json::parse(R"({"name":"HOUSE","state":null,"mode":null,"alarm":null})"),
            bridge::Json::parse(states["zelcommsrv/area/1"]));
  EXPECT_EQ(before["zelcommsrv/zone/1"], states["zelcommsrv/zone/1"]);
  EXPECT_EQ(before["zelcommsrv/server"], states["zelcommsrv/server"]);
}

TEST(RetainedTopicsTest, PublishesChangesClearsTheGoneAndRetriesWhatFailed) {
  RetainedTopics held;
  std::vector<std::pair<std::string, std::string>> sent;
  bool broker_takes = true;
  auto publish = [&](const std::string& topic, const std::string& payload) {
    if (broker_takes) sent.emplace_back(topic, payload);
    return broker_takes;
  };
  using Sent = std::vector<std::pair<std::string, std::string>>;
  held.Sync({{"a", "1"}, {"b", "2"}}, publish);
  EXPECT_EQ((Sent{{"a", "1"}, {"b", "2"}}), sent);
  sent.clear();
  held.Sync({{"a", "1"}, {"b", "3"}}, publish);  // only the change
  EXPECT_EQ((Sent{{"b", "3"}}), sent);
  sent.clear();
  held.Sync({{"b", "3"}}, publish);  // a is gone: cleared
  EXPECT_EQ((Sent{{"a", ""}}), sent);
  sent.clear();
  broker_takes = false;  // the broker is away: nothing is taken, all is tried again later
  held.Sync({{"b", "4"}, {"c", "5"}}, publish);
  broker_takes = true;
  held.Sync({{"b", "4"}, {"c", "5"}}, publish);
  EXPECT_EQ((Sent{{"b", "4"}, {"c", "5"}}), sent);
  sent.clear();
  held.Republish();  // after a reconnection: everything again
  held.Sync({{"b", "4"}, {"c", "5"}}, publish);
  EXPECT_EQ((Sent{{"b", "4"}, {"c", "5"}}), sent);
  sent.clear();
  held.Sync({{"b", "4"}, {"c", "5"}}, publish);
  EXPECT_TRUE(sent.empty());
}

TEST(StateKindsTest, AnEventNamesTheStatesItMayHaveChanged) {
  const std::pair<const char*, unsigned> kEvents[] = {
      {R"({"event":"OnSystemZoneStatusChange","arguments":[{"class":"CZelSystemZoneEvent"}]})",
       kSecurityStates},
      {R"({"event":"OnSystemEvent","arguments":[{"class":"CZelSystemZoneEvent"}]})",
       kSecurityStates},
      {R"({"event":"OnSystemEvent","arguments":[{"class":"CZelSystemAlarmEvent"}]})",
       kSecurityStates},
      {R"({"event":"OnSystemEvent","arguments":[{"class":"CZelSystemSecurityEvent"}]})",
       kSecurityStates},
      {R"({"event":"OnSystemEvent","arguments":[{"class":"CZelSystemUnitEvent"}]})", kUnitStates},
      {R"({"event":"OnSystemEvent","arguments":[{"class":"CZelSystemAllOnOffEvent"}]})",
       kUnitStates},
      {R"({"event":"OnSystemEvent","arguments":[{"class":"CZelSystemX10Event"}]})", kUnitStates},
      {R"({"event":"OnSystemEvent","arguments":[{"class":"CZelSystemMacroEvent"}]})", kAllStates},
      {R"({"event":"OnSystemEvent","arguments":[{"class":"CZelSystemEvent"}]})", kAllStates},
      {R"({"event":"OnArmEvent","arguments":[{"class":"CZelArmEvent"}]})", kAllStates},
      {R"({"event":"OnServerStatusChange","arguments":[16]})", kAllStates},
      {R"({"event":"OnEvent","arguments":[]})", kAllStates},
      {R"({})", kAllStates},
  };
  for (const auto& [event, kinds] : kEvents) {
    EXPECT_EQ(kinds, StateKindsOfEvent(bridge::Json::parse(event))) << event;
  }
}

TEST(BackoffTest, DoublesFromOneSecondUpToThirtyAndStartsAgainAfterASuccess) {
  Backoff b;
  std::vector<int> pauses;
  for (int i = 0; i < 8; ++i) pauses.push_back(b.Failed());
  EXPECT_EQ((std::vector<int>{1, 2, 4, 8, 16, 30, 30, 30}), pauses);
  b.Succeeded();
  EXPECT_EQ(1, b.Failed());
  EXPECT_EQ(2, b.Failed());
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
