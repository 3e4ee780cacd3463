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
import unittest

try:
    import paho.mqtt.client as paho
except ImportError:  # a Python of its own beside Debian's, which holds python3-paho-mqtt
    sys.path.append("/usr/lib/python3/dist-packages")
    import paho.mqtt.client as paho

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
        self.proc = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        e2e.wait_for(self.listening, what="mosquitto")

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
        self.events = []  # every payload of the (not retained) events topic, in order
        self.lock = threading.Lock()
        self.client = paho.Client()
        self.client.on_message = self.on_message
        self.client.on_connect = lambda c, u, f, rc: c.subscribe(topic, qos=1)
        self.client.connect("127.0.0.1", port)
        self.client.loop_start()

    def on_message(self, client, userdata, msg):
        with self.lock:
            self.messages[msg.topic] = msg.payload.decode()
            if msg.topic.endswith("/event") or msg.topic.endswith("/result"):
                self.events.append(json.loads(msg.payload))

    def get(self, topic):
        with self.lock:
            return self.messages.get(topic)

    def json(self, topic):
        text = self.get(topic)
        return json.loads(text) if text else None

    def close(self):
        self.client.loop_stop()
        self.client.disconnect()


def zone_state(status):
    """The documented mapping, worked out here from the scenario's status byte."""
    condition, arming = status & 3, (status >> 4) & 3
    if arming in (1, 2):
        return "bypassed"
    if condition in (2, 3):
        return "trouble"
    return "open" if condition == 1 else "closed"


class ZelmqttStates(unittest.TestCase):
    def setUp(self):
        self.d = e2e.DaemonFixture()
        self.d.start()
        self.broker = Broker()
        self.conf = os.path.join(self.d.inst, "zelmqtt.conf")
        with open(self.conf, "w") as f:
            f.write(f"broker_port = {self.broker.port}\n"
                    f"bridge_socket = {os.path.join(self.d.inst, 'zelbridge.sock')}\n"
                    "refresh_seconds = 1\narm_areas = 1\n")
        self.log = open(os.path.join(self.d.inst, "zelmqtt.log"), "w")
        self.mqtt = subprocess.Popen([os.path.join(e2e.BUILD, "mqtt", "zelmqtt"), "--config",
                                      self.conf], stderr=self.log)
        self.seen = Retained(self.broker.port, "zelcommsrv/#")
        with open(os.path.join(e2e.SOURCE, "sim", "scenarios", "house.json")) as f:
            self.scenario = json.load(f)

    def tearDown(self):
        self.seen.close()
        if self.mqtt.poll() is None:
            self.mqtt.kill()
            self.mqtt.wait()
        self.log.close()
        self.broker.close()
        self.d.close()

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

if __name__ == "__main__":
    e2e.BUILD, e2e.SOURCE = sys.argv[1], sys.argv[2]
    del sys.argv[1:3]
    unittest.main(verbosity=2)
