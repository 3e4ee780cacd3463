#!/usr/bin/env python3
"""Black-box test of zelmqtt against a real broker: Debian's mosquitto on a free loopback port
with a config file of its own, the simulator and the daemon as the daemon tests start them, and
zelmqtt as a client of the daemon's bridge. A paho client reads what the broker holds.

Run: mqtt_e2e_test.py BUILD_DIR SOURCE_DIR
"""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

try:
    import paho.mqtt.client as paho
except ImportError:  # a Python of its own beside Debian's, which holds python3-paho-mqtt
    sys.path.append("/usr/lib/python3/dist-packages")
    import paho.mqtt.client as paho

try:
    import jinja2
except ImportError:
    sys.path.append("/usr/lib/python3/dist-packages")
    import jinja2

import daemon_e2e_test as e2e


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Broker:
    """mosquitto on 127.0.0.1 with a config of its own; no system service is touched."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="zel-mqtt-")
        self.port = free_port()
        conf = os.path.join(self.dir, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
        self.conf = conf
        self.start()

    def start(self):
        """Starts the broker on its port, with nothing retained (no persistence)."""
        self.proc = subprocess.Popen(["mosquitto", "-c", self.conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        e2e.wait_for(self.listening, what="mosquitto")

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)

    def listening(self):
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", self.port)) == 0

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)
        shutil.rmtree(self.dir, ignore_errors=True)


class Retained:
    """Subscribes to a topic filter and keeps the last payload of every topic."""

    def __init__(self, port, topic):
        self.messages = {}
        self.counts = {}  # messages received per topic
        self.events = []  # every payload of the (not retained) events topic, in order
        self.lock = threading.Lock()
        self.client = paho.Client()
        self.client.reconnect_delay_set(min_delay=1, max_delay=1)  # back soon after an outage
        self.client.on_message = self.on_message
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(topic, qos=1)
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def on_message(self, client, userdata, msg):
        with self.lock:
            self.messages[msg.topic] = msg.payload.decode()
            self.counts[msg.topic] = self.counts.get(msg.topic, 0) + 1
            if msg.topic.endswith("/event") or msg.topic.endswith("/result"):
                self.events.append(json.loads(msg.payload))

    def get(self, topic):
        with self.lock:
            return self.messages.get(topic)

    def json(self, topic):
        text = self.get(topic)
        return json.loads(text) if text else None

    def under(self, prefix):
        """Every topic under prefix that holds a payload, with it."""
        with self.lock:
            return {t: p for t, p in self.messages.items() if t.startswith(prefix) and p}

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


zone_state = e2e.zone_state  # the documented mapping, from the scenario's status byte


class ZelmqttFixture(unittest.TestCase):
    SCENARIO = "house.json"
    TOPICS = "zelcommsrv/#"

    def setUp(self):
        self.d = e2e.DaemonFixture(scenario=self.SCENARIO)
        self.d.start()
        self.broker = Broker()
        self.conf = os.path.join(self.d.inst, "zelmqtt.conf")
        with open(self.conf, "w") as f:
            f.write(f"broker_port = {self.broker.port}\n"
                    f"bridge_socket = {os.path.join(self.d.inst, 'zelbridge.sock')}\n"
                    "refresh_seconds = 1\narm_areas = 1\n")
        self.log = open(os.path.join(self.d.inst, "zelmqtt.log"), "w")
        self.start_zelmqtt()
        self.seen = Retained(self.broker.port, self.TOPICS)
        with open(os.path.join(e2e.SOURCE, "sim", "scenarios", self.SCENARIO)) as f:
            self.scenario = json.load(f)

    def start_zelmqtt(self):
        self.mqtt = subprocess.Popen([os.path.join(e2e.BUILD, "mqtt", "zelmqtt"), "--config",
                                      self.conf], stderr=self.log)

    def tearDown(self):
        self.seen.close()
        if self.mqtt.poll() is None:
            self.mqtt.kill()
            self.mqtt.wait()
        self.log.close()
        self.broker.close()
        self.d.close()

    def publisher(self):
        client = paho.Client()
        client.connect("127.0.0.1", self.broker.port)
        client.loop_start()
        self.addCleanup(client.disconnect)
        self.addCleanup(client.loop_stop)
        return client

    def result_for(self, action):
        with self.seen.lock:
            for e in reversed(self.seen.events):
                if e.get("action") == action:
                    return e
        return None


class ZelmqttStates(ZelmqttFixture):

    def test_retained_states_follow_the_scenario_and_changes(self):
        e2e.wait_for(lambda: self.seen.get("zelcommsrv/status") == "online",
                     what="zelmqtt online")
        zones = self.scenario["objects"]["zones"]
        e2e.wait_for(lambda: all(self.seen.get(f"zelcommsrv/zone/{z['number']}") for z in zones),
                     what="every zone's state")
        for z in zones:
            state = self.seen.json(f"zelcommsrv/zone/{z['number']}")
            self.assertEqual(z["name"], state["name"])
            self.assertEqual(zone_state(z["status"]), state["state"], z["name"])
            self.assertEqual(z["area"], state["area"])
        for u in self.scenario["objects"]["units"]:
            state = self.seen.json(f"zelcommsrv/unit/{u['number']}")
            self.assertEqual(u["name"], state["name"])
            self.assertEqual("off" if u["status"] in (0, 100) else "on", state["state"])
        for t in self.scenario["objects"]["thermostats"]:
            state = self.seen.json(f"zelcommsrv/thermostat/{t['number']}")
            for key in ("system_mode", "fan_mode", "hold_mode"):
                camel = key.split("_")[0] + "Mode"
                self.assertEqual(t[key], state[camel], key)
            # The temperatures as the server reads them, in both scales.
            self.assertEqual(self.d.value(f"Thermostats.Item({t['number']}).TemperatureC"),
                             state["temperatureC"])
            self.assertEqual(self.d.value(f"Thermostats.Item({t['number']}).HeatSetpointF"),
                             state["heatSetpointF"])
        for m in self.scenario["objects"]["messages"]:
            state = self.seen.json(f"zelcommsrv/message/{m['number']}")
            self.assertEqual((m["displayed"], m["acknowledged"]),
                             (state["displayed"], state["acknowledged"]))
        server = self.seen.json("zelcommsrv/server")
        self.assertEqual(16, server["status"])
        self.assertEqual("disarmed", self.seen.json("zelcommsrv/area/1")["state"])

        # A change at the controller reaches the retained state.
        self.d.zelctl("call", "Areas.Item(1).Arm", "1234", "3")
        e2e.wait_for(lambda: (self.seen.json("zelcommsrv/area/1") or {}).get("state")
                     == "armed_away", what="the armed state")
        self.d.zelctl("call", "Zones.Item(2).Bypass", "1234")
        e2e.wait_for(lambda: self.seen.json("zelcommsrv/zone/2")["state"] == "bypassed",
                     what="the bypassed zone")

        # Stopped, it says so on the availability topic and leaves nothing running.
        self.mqtt.send_signal(signal.SIGTERM)
        self.assertEqual(0, self.mqtt.wait(timeout=10))
        e2e.wait_for(lambda: self.seen.get("zelcommsrv/status") == "offline",
                     what="offline after a stop")

    def test_a_system_event_is_published_with_its_properties(self):
        e2e.wait_for(lambda: self.seen.get("zelcommsrv/status") == "online",
                     what="zelmqtt online")
        # The relay's session is connected to the server's events.
        e2e.wait_for(lambda: (self.d.value("EventConnections") or 0) >= 1,
                     what="the relay's event connection")
        self.assertTrue(self.d.control({"system_events": ["0x0602"]})["ok"])

        def zone_event():
            with self.seen.lock:
                for e in self.seen.events:
                    for a in e["arguments"]:
                        if (isinstance(a, dict) and a.get("class") == "CZelSystemZoneEvent"
                                and a["properties"].get("Code") == 0x0602):
                            return e, a
            return None
        e2e.wait_for(lambda: zone_event() is not None, what="the zone event")
        event, argument = zone_event()
        self.assertEqual("OnSystemEvent", event["event"])
        self.assertEqual(17, argument["properties"]["Type"])
        self.assertEqual(1, argument["properties"]["State"])
        self.assertEqual({"class": "CZelZone", "name": "BACK DOOR"},
                         argument["properties"]["Zone"])
        # Events are not retained: a client that comes later does not get it.
        # Its subscription also takes the retained availability, which arrives once the
        # subscription stands: whatever was retained on the events topic would be there by then.
        late = Retained(self.broker.port, "zelcommsrv/+")
        e2e.wait_for(lambda: late.get("zelcommsrv/status") is not None,
                     what="the late client's retained messages")
        self.assertEqual([], late.events)
        late.close()

    def test_commands_reach_the_controller_and_their_results_are_published(self):
        e2e.wait_for(lambda: self.seen.get("zelcommsrv/status") == "online",
                     what="zelmqtt online")
        self.d.control({"clear": "commands"})
        client = paho.Client()
        client.connect("127.0.0.1", self.broker.port)
        client.loop_start()
        try:
            def result_for(action):
                with self.seen.lock:
                    for e in self.seen.events:
                        if e.get("action") == action:
                            return e
                return None
            client.publish("zelcommsrv/area/1/set",
                           json.dumps({"action": "ARM_AWAY", "code": "1234"}), qos=1)
            e2e.wait_for(lambda: result_for("ARM_AWAY") is not None, what="the arm result")
            self.assertEqual("00000000", result_for("ARM_AWAY")["status"])
            # The arm command went to the controller as such: mode 3, user 1, area 1.
            self.assertIn({"command": 0x33, "parameter1": 1, "parameter2": 1},
                          self.d.control({"query": "commands"})["commands"])
            e2e.wait_for(lambda: self.seen.json("zelcommsrv/area/1")["state"] == "armed_away",
                         what="the armed state")
            # A wrong code is the controller's refusal; no code at all is refused here.
            client.publish("zelcommsrv/area/1/set",
                           json.dumps({"action": "DISARM", "code": "9999"}), qos=1)
            e2e.wait_for(lambda: result_for("DISARM") is not None, what="the disarm result")
            self.assertEqual("C0000005", result_for("DISARM")["status"].upper())
            self.assertNotIn("9999", json.dumps(result_for("DISARM")))
            client.publish("zelcommsrv/zone/2/set", "BYPASS", qos=1)
            e2e.wait_for(lambda: result_for("BYPASS") is not None, what="the bypass result")
            self.assertEqual("80070057", result_for("BYPASS")["status"])
            self.assertIn("code", result_for("BYPASS")["error"])
            client.publish("zelcommsrv/unit/2/set", "ON", qos=1)
            e2e.wait_for(lambda: result_for("ON") is not None, what="the unit result")
            self.assertEqual("00000000", result_for("ON")["status"])
            e2e.wait_for(lambda: self.seen.json("zelcommsrv/unit/2")["state"] == "on",
                         what="the unit on")
        finally:
            client.loop_stop()
            client.disconnect()

    def test_without_the_bridge_it_is_offline(self):
        e2e.wait_for(lambda: self.seen.get("zelcommsrv/status") == "online",
                     what="zelmqtt online")
        # The daemon goes away: the states cannot be vouched for.
        self.d.daemon.send_signal(signal.SIGTERM)
        self.assertEqual(0, self.d.daemon.wait(timeout=30))
        e2e.wait_for(lambda: self.seen.get("zelcommsrv/status") == "offline",
                     what="offline without the bridge")
        self.assertIsNone(self.mqtt.poll(), "zelmqtt keeps running and trying")

    def test_killed_it_leaves_its_last_will(self):
        e2e.wait_for(lambda: self.seen.get("zelcommsrv/status") == "online",
                     what="zelmqtt online")
        self.mqtt.kill()
        self.mqtt.wait()
        e2e.wait_for(lambda: self.seen.get("zelcommsrv/status") == "offline",
                     what="the last will")


# The platform's documented discovery fields: those every entity may carry, and per component
# the required ones and the others it knows. A key outside these is a typo the platform would
# reject or ignore.
COMMON_KEYS = {"name", "unique_id", "object_id", "default_entity_id", "device", "origin",
               "availability", "availability_mode", "availability_topic", "availability_template",
               "payload_available", "payload_not_available", "icon", "qos", "retain",
               "encoding", "enabled_by_default", "entity_category", "json_attributes_topic",
               "json_attributes_template", "platform"}
DEVICE_KEYS = {"identifiers", "connections", "name", "model", "model_id", "manufacturer",
               "sw_version", "hw_version", "serial_number", "suggested_area", "via_device",
               "configuration_url"}
SCHEMA = {
    "binary_sensor": ({"state_topic"},
                      {"value_template", "payload_on", "payload_off", "device_class",
                       "expire_after", "force_update", "off_delay"}),
    "switch": ({"command_topic"},
               {"state_topic", "value_template", "payload_on", "payload_off", "state_on",
                "state_off", "command_template", "optimistic", "device_class"}),
    "light": ({"command_topic"},
              {"state_topic", "state_value_template", "payload_on", "payload_off",
               "brightness_command_topic", "brightness_command_template", "brightness_scale",
               "brightness_state_topic", "brightness_value_template", "on_command_type",
               "optimistic", "schema"}),
    "alarm_control_panel": ({"command_topic", "state_topic"},
                            {"value_template", "command_template", "code", "code_arm_required",
                             "code_disarm_required", "code_trigger_required",
                             "supported_features", "payload_arm_home", "payload_arm_away",
                             "payload_arm_night", "payload_arm_vacation",
                             "payload_arm_custom_bypass", "payload_disarm", "payload_trigger"}),
    "climate": (set(),
                {"temperature_unit", "precision", "min_temp", "max_temp", "temp_step",
                 "current_temperature_topic", "current_temperature_template",
                 "temperature_low_state_topic", "temperature_low_state_template",
                 "temperature_low_command_topic", "temperature_low_command_template",
                 "temperature_high_state_topic", "temperature_high_state_template",
                 "temperature_high_command_topic", "temperature_high_command_template",
                 "modes", "mode_state_topic", "mode_state_template", "mode_command_topic",
                 "mode_command_template", "fan_modes", "fan_mode_state_topic",
                 "fan_mode_state_template", "fan_mode_command_topic", "fan_mode_command_template",
                 "action_topic", "action_template", "optimistic"}),
    "sensor": ({"state_topic"},
               {"value_template", "device_class", "state_class", "unit_of_measurement",
                "expire_after", "force_update", "suggested_display_precision"}),
    "button": ({"command_topic"}, {"command_template", "payload_press", "device_class"}),
}
ALARM_STATES = {"disarmed", "armed_home", "armed_away", "armed_night", "armed_vacation",
                "armed_custom_bypass", "arming", "disarming", "pending", "triggered", "None"}
ALARM_FEATURES = {"arm_home", "arm_away", "arm_night", "arm_vacation", "arm_custom_bypass",
                  "trigger"}


def render(template, payload=None, **variables):
    """A template as the platform renders it: value_json is the state topic's JSON."""
    if payload is not None:
        variables["value_json"] = json.loads(payload)
        variables["value"] = payload
    return jinja2.Environment().from_string(template).render(**variables)


class ZelmqttDiscovery(ZelmqttFixture):
    """The largest model: two areas, thermostats, temperature sensors, buttons, dimmable and
    plain units."""
    SCENARIO = "estate.json"
    TOPICS = "#"

    def configs(self):
        return {t: json.loads(p) for t, p in self.seen.under("homeassistant/").items()
                if t.endswith("/config")}

    def wait_online(self):
        e2e.wait_for(lambda: self.seen.get("zelcommsrv/status") == "online"
                     and self.seen.get("zelcommsrv/link") == "online", what="zelmqtt online")

    def expected_entities(self):
        """The entities of every named element zelmqtt publishes a state of."""
        kinds = {"zone": ["binary_sensor"], "area": ["alarm_control_panel"],
                 "thermostat": ["climate"], "sensor": ["sensor"], "button": ["button"]}
        want = {}
        for topic, payload in self.seen.under("zelcommsrv/").items():
            parts = topic.split("/")
            if len(parts) != 3 or not json.loads(payload).get("name"):
                continue
            state, object_id = json.loads(payload), f"{parts[1]}_{parts[2]}"
            if parts[1] == "zone":
                want[f"switch/zelcommsrv/{object_id}_bypass"] = state["name"] + " bypass"
            if parts[1] == "unit":
                # A light for the units that take levels, a switch for the others.
                kind = "light" if state["dimmable"] else "switch"
                want[f"{kind}/zelcommsrv/{object_id}"] = state["name"]
            for component in kinds.get(parts[1], []):
                want[f"{component}/zelcommsrv/{object_id}"] = state["name"]
        return {f"homeassistant/{k}/config": v for k, v in want.items()}

    def test_configs_follow_the_platform_schema_and_the_installation(self):
        self.wait_online()
        e2e.wait_for(lambda: len(self.seen.under("zelcommsrv/unit/")) > 0
                     and set(self.configs()) == set(self.expected_entities()),
                     what="a config for every named element")
        configs = self.configs()
        expected = self.expected_entities()
        # Every element the scenario names has its entities (the model's built-in zone names
        # come besides).
        names = self.scenario["names"]
        for kind, component in (("zones", "binary_sensor"), ("areas", "alarm_control_panel"),
                                ("thermostats", "climate"), ("buttons", "button")):
            for n in names[kind]:
                c = configs[f"homeassistant/{component}/zelcommsrv/{kind[:-1]}_{n['number']}"
                            "/config"]
                self.assertEqual(n["name"], c["name"])
        self.assertEqual("DRIVEWAY LIGH", configs[  # a dimmable unit, its name cut to its field
            "homeassistant/light/zelcommsrv/unit_1/config"]["name"])
        self.assertEqual("BARN LIGHTS", configs[  # a unit without levels
            "homeassistant/switch/zelcommsrv/unit_300/config"]["name"])
        server = self.seen.json("zelcommsrv/server")
        unique_ids = set()
        for topic, c in configs.items():
            component = topic.split("/")[1]
            required, optional = SCHEMA[component]
            self.assertEqual(expected[topic], c["name"], topic)
            self.assertLessEqual(required, set(c), topic)
            self.assertLessEqual(set(c), required | optional | COMMON_KEYS, topic)
            self.assertLessEqual(set(c["device"]), DEVICE_KEYS, topic)
            unique_ids.add(c["unique_id"])
            # One device, the controller, with its model and firmware.
            self.assertEqual(["zelcommsrv"], c["device"]["identifiers"])
            self.assertEqual(server["model"], c["device"]["model"])
            self.assertEqual(server["firmware"], c["device"]["sw_version"])
            self.assertTrue(server["model"] and server["firmware"])
            # Available only while zelmqtt runs and the link answers.
            self.assertEqual("all", c["availability_mode"])
            self.assertEqual([{"topic": "zelcommsrv/status"}, {"topic": "zelcommsrv/link"}],
                             c["availability"])
            # Every state topic exists; every command topic is one zelmqtt takes.
            state_topic = None
            for key, value in c.items():
                if key.endswith("state_topic") or key == "current_temperature_topic":
                    self.assertIsNotNone(self.seen.get(value), f"{topic} {key}")
                    state_topic = value
                elif key.endswith("command_topic"):
                    self.assertRegex(value, r"^zelcommsrv/(area|zone|unit|button|thermostat)"
                                            r"/\d+/set$", f"{topic} {key}")
            # The templates give what the platform expects from the states zelmqtt publishes.
            state = self.seen.get(state_topic) if state_topic else None
            if component in ("binary_sensor", "switch"):
                self.assertIn(render(c["value_template"], state), ("ON", "OFF"), topic)
            elif component == "light":
                self.assertIn(render(c["state_value_template"], state), ("ON", "OFF"), topic)
                level = int(render(c["brightness_value_template"], state))
                self.assertTrue(0 <= level <= c["brightness_scale"], topic)
            elif component == "alarm_control_panel":
                self.assertIn(render(c["value_template"], state), ALARM_STATES, topic)
                self.assertLessEqual(set(c["supported_features"]), ALARM_FEATURES, topic)
                # No code in the config: the platform asks for it and sends it along.
                self.assertEqual("REMOTE_CODE", c["code"])
                self.assertTrue(c["code_arm_required"])
            elif component == "climate":
                self.assertEqual("F", c["temperature_unit"])  # the estate's format setting
                for key in ("current_temperature", "temperature_low_state",
                            "temperature_high_state"):
                    float(render(c[key + "_template"], state))
                self.assertIn(render(c["mode_state_template"], state), c["modes"], topic)
                self.assertIn(render(c["fan_mode_state_template"], state), c["fan_modes"], topic)
            elif component == "sensor":
                self.assertEqual("temperature", c["device_class"])
                self.assertEqual("°F", c["unit_of_measurement"])
                self.assertEqual(json.loads(state)["temperatureF"],
                                 float(render(c["value_template"], state)))
        self.assertEqual(len(configs), len(unique_ids))
        # Armable only where the config allows it.
        self.assertEqual(["arm_home", "arm_away", "arm_night", "arm_vacation"], configs[
            "homeassistant/alarm_control_panel/zelcommsrv/area_1/config"]["supported_features"])
        self.assertEqual([], configs[
            "homeassistant/alarm_control_panel/zelcommsrv/area_2/config"]["supported_features"])

    def test_commands_rendered_from_the_configs_reach_the_controller(self):
        self.wait_online()
        e2e.wait_for(lambda: "homeassistant/climate/zelcommsrv/thermostat_2/config"
                     in self.configs(), what="the thermostat's config")
        configs = self.configs()
        client = self.publisher()

        def send(config, kind, action, **variables):
            c = configs[f"homeassistant/{config}/config"]
            payload = (render(c[kind + "_command_template"], **variables)
                       if kind + "_command_template" in c else variables["value"])
            self.d.control({"clear": "commands"})
            client.publish(c[kind + "_command_topic"], payload, qos=1)
            e2e.wait_for(lambda: (self.result_for(action) or {}).get("status") == "00000000",
                         what=f"{action} done: {self.result_for(action)}")
            commands = self.d.control({"query": "commands"})["commands"]
            self.seen.events.clear()
            return commands

        # Heat setpoint 68 °F: raw (68 + 40) / 0.9 = 120, thermostat 2.
        self.assertEqual([{"command": 0x42, "parameter1": 120, "parameter2": 2}],
                         send("climate/zelcommsrv/thermostat_2", "temperature_low",
                              "HEAT_SETPOINT_F", value=68.0))
        # Cool setpoint 77 °F: raw 130.
        self.assertEqual([{"command": 0x43, "parameter1": 130, "parameter2": 2}],
                         send("climate/zelcommsrv/thermostat_2", "temperature_high",
                              "COOL_SETPOINT_F", value=77.0))
        self.assertEqual([{"command": 0x44, "parameter1": 2, "parameter2": 2}],
                         send("climate/zelcommsrv/thermostat_2", "mode", "SYSTEM_MODE",
                              value="cool"))
        self.assertEqual([{"command": 0x45, "parameter1": 2, "parameter2": 2}],
                         send("climate/zelcommsrv/thermostat_2", "fan_mode", "FAN_MODE",
                              value="cycle"))
        # A dimmable unit's brightness goes as a level command alone (command 9, percent, unit).
        self.assertEqual([{"command": 9, "parameter1": 40, "parameter2": 1}],
                         send("light/zelcommsrv/unit_1", "brightness", "40", value="40"))
        e2e.wait_for(lambda: self.seen.json("zelcommsrv/thermostat/2")["systemMode"] == 2
                     and self.seen.json("zelcommsrv/thermostat/2")["heatSetpointF"] == 68,
                     what="the thermostat's new state")
        # The area's template carries the code the platform asked for.
        c = configs["homeassistant/alarm_control_panel/zelcommsrv/area_1/config"]
        self.d.control({"clear": "commands"})
        client.publish(c["command_topic"], render(c["command_template"], action="ARM_AWAY",
                                                  code="1234"), qos=1)
        e2e.wait_for(lambda: (self.result_for("ARM_AWAY") or {}).get("status") == "00000000",
                     what="armed")
        self.assertIn({"command": 0x33, "parameter1": 1, "parameter2": 1},
                      self.d.control({"query": "commands"})["commands"])
        e2e.wait_for(lambda: render(c["value_template"], self.seen.get(c["state_topic"]))
                     == "armed_away", what="armed_away through the config's template")

    def test_entities_are_unavailable_and_areas_unknown_while_the_link_is_down(self):
        self.wait_online()
        e2e.wait_for(lambda: (self.seen.json("zelcommsrv/area/1") or {}).get("state")
                     == "disarmed", what="the area's state")
        # The controller falls silent: the server calls its link down after some seconds.
        self.assertTrue(self.d.control({"fault": "no_reply", "count": -1})["ok"])
        e2e.wait_for(lambda: self.seen.get("zelcommsrv/link") == "offline", timeout=60,
                     what="the link offline")
        self.assertEqual("online", self.seen.get("zelcommsrv/status"))
        area = self.seen.json("zelcommsrv/area/1")
        self.assertEqual((None, None), (area["state"], area["mode"]), "no state while unknown")
        self.assertEqual("None", render("{{ value_json.state }}", self.seen.get(
            "zelcommsrv/area/1")), "the platform's payload for an unknown state")
        self.d.control({"clear": "faults"})
        e2e.wait_for(lambda: self.seen.get("zelcommsrv/link") == "online", timeout=60,
                     what="the link online again")
        e2e.wait_for(lambda: self.seen.json("zelcommsrv/area/1")["state"] == "disarmed",
                     what="the area's state again")

    def test_configs_come_again_when_the_platform_starts_and_go_with_their_element(self):
        self.wait_online()
        topic = "homeassistant/button/zelcommsrv/button_2/config"
        e2e.wait_for(lambda: self.seen.get(topic), what="the button's config")
        before = dict(self.seen.counts)
        client = self.publisher()
        client.publish("homeassistant/status", "online", qos=1)
        e2e.wait_for(lambda: all(self.seen.counts.get(t, 0) > before.get(t, 0)
                                 for t in self.configs()), what="every config again")
        # An element that loses its name is no longer in use: its config is cleared.
        self.d.zelctl("put", "Buttons.Item(2).Name", "")
        e2e.wait_for(lambda: self.seen.get(topic) == "", what="the button's config cleared")


class ZelmqttOutages(ZelmqttFixture):
    OUTAGE = 10  # seconds the broker, then the daemon, stays away
    TOPICS = "#"

    def assert_states_and_availability(self):
        """Waits until the broker holds the installation as it is, and zelmqtt online."""
        e2e.wait_for(lambda: self.seen.get("zelcommsrv/status") == "online"
                     and self.seen.get("zelcommsrv/link") == "online", timeout=60,
                     what="zelmqtt and the link online")
        e2e.wait_for(lambda: (self.seen.json("zelcommsrv/area/1") or {}).get("state")
                     == "armed_away", timeout=30, what="the area armed_away")
        e2e.wait_for(lambda: (self.seen.json("zelcommsrv/zone/2") or {}).get("state")
                     == "bypassed", what="the zone bypassed")
        for z in self.scenario["objects"]["zones"]:
            e2e.wait_for(lambda: self.seen.get(f"zelcommsrv/zone/{z['number']}"),
                         what=f"zone {z['number']}")
        e2e.wait_for(lambda: self.seen.get(
            "homeassistant/alarm_control_panel/zelcommsrv/area_1/config"), what="the configs")

    def test_broker_then_daemon_away_for_seconds_end_with_the_truth(self):
        e2e.wait_for(lambda: self.seen.get("zelcommsrv/status") == "online", what="online")
        # The broker goes away; meanwhile the controller is armed and a zone bypassed.
        self.broker.stop()
        self.d.zelctl("call", "Areas.Item(1).Arm", "1234", "3")
        self.d.zelctl("call", "Zones.Item(2).Bypass", "1234")
        time.sleep(self.OUTAGE)  # the outage itself
        self.assertIsNone(self.mqtt.poll(), "zelmqtt keeps running without its broker")
        with self.seen.lock:
            self.seen.messages.clear()  # what is seen from now on comes from the new broker
        self.broker.start()  # empty: nothing retained survived
        self.assert_states_and_availability()

        # The daemon goes away: zelmqtt cannot vouch for anything, and no armed state stays.
        self.d.daemon.send_signal(signal.SIGTERM)
        self.assertEqual(0, self.d.daemon.wait(timeout=30))
        e2e.wait_for(lambda: self.seen.get("zelcommsrv/status") == "offline"
                     and self.seen.get("zelcommsrv/link") == "offline", what="offline")
        e2e.wait_for(lambda: self.seen.json("zelcommsrv/area/1")["state"] is None,
                     what="the area's state unknown")
        self.assertEqual("bypassed", self.seen.json("zelcommsrv/zone/2")["state"])
        time.sleep(self.OUTAGE)  # the outage itself
        self.assertIsNone(self.mqtt.poll(), "zelmqtt keeps running without the daemon")
        self.assertIsNone(self.seen.json("zelcommsrv/area/1")["state"])
        # The entities stay, unavailable: their configs are not withdrawn for an outage.
        self.assertTrue(self.seen.get("homeassistant/alarm_control_panel/zelcommsrv/area_1/config"))
        self.d.daemon = subprocess.Popen(
            [os.path.join(e2e.BUILD, "service", "zelcommsrv"), "--instance", self.d.inst,
             "--no-tcp", "--no-start"], stderr=self.d.log)
        e2e.wait_for(lambda: self.d.zelctl("status", check=False).returncode == 0,
                     what="the bridge")
        self.d.start()
        self.assert_states_and_availability()
        # The events come again too.
        e2e.wait_for(lambda: (self.d.value("EventConnections") or 0) >= 1, timeout=60,
                     what="the relay's event connection again")


if __name__ == "__main__":
    e2e.BUILD, e2e.SOURCE = sys.argv[1], sys.argv[2]
    del sys.argv[1:3]
    unittest.main(verbosity=2)
