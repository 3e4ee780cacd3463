#!/usr/bin/env python3
"""A zone change from the simulator to its MQTT messages, stage by stage, and zelmqtt's cost at
idle, with the largest model (estate.json: model 16).

The processes run as a user runs them: zelsim on a pty, the daemon, mosquitto on a free loopback
port, zelmqtt, and `zelctl watch` as the baseline (a plain client of the bridge's event stream).
Each round changes a zone's condition at the simulator (its sensor opens or closes; the
controller queues the zone's system event) and stamps, at the clients:

  poll     the change -> the simulator has handed out the event (the server's next system-events
           request; the simulator is asked every millisecond)
  server   that reply -> the event line of `zelctl watch` (wire, server and bridge: what any
           client of the bridge waits; bench/system_events_bench splits it in process)
  relay    the watch line -> the event on <base>/event at an MQTT subscriber (zelmqtt's relay and
           the broker; zelmqtt reads the same event stream beside zelctl)
  state    the MQTT event -> the zone's retained state with the new condition (zelmqtt reads the
           states again at once on each event)

The scenario is estate.json with every zone (215) and unit (511) of its model named. Then
zelmqtt's CPU time and resident memory over an idle stretch (states read every
refresh_seconds, 5 by default), beside the daemon's.

Run: bench/mqtt_latency.py BUILD_DIR [--rounds N] [--idle-seconds S]
"""
import argparse
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))

import daemon_e2e_test as e2e  # noqa: E402
import mqtt_e2e_test as m  # noqa: E402

ZONE = 2  # FRONT DOOR of the estate


class Stamped(m.Retained):
    """Every message with its arrival time."""

    def __init__(self, port, topic):
        self.arrivals = []
        super().__init__(port, topic)

    def on_message(self, client, userdata, msg):
        now = time.monotonic()
        super().on_message(client, userdata, msg)
        with self.lock:
            self.arrivals.append((now, msg.topic, msg.payload.decode()))

    def first(self, after, match):
        with self.lock:
            for t, topic, payload in self.arrivals:
                if t >= after and match(topic, payload):
                    return t
        return None


class WatchLines:
    """The lines of `zelctl watch` with their arrival times."""

    def __init__(self, proc):
        self.lines = []
        self.lock = threading.Lock()
        self.proc = proc
        threading.Thread(target=self.read, daemon=True).start()

    def read(self):
        for line in self.proc.stdout:
            with self.lock:
                self.lines.append((time.monotonic(), line))

    def first(self, after, text):
        with self.lock:
            for t, line in self.lines:
                if t >= after and text in line:
                    return t
        return None


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def full_estate(directory):
    """estate.json with every zone (1-215) and unit (1-511) of its model named, so that the
    server holds them all and zelmqtt reads and publishes them all."""
    with open(os.path.join(SOURCE, "sim", "scenarios", "estate.json")) as f:
        scenario = json.load(f)
    names = scenario["names"]
    for kind, last, width in (("zones", 215, 15), ("units", 511, 12)):
        named = {n["number"] for n in names[kind]}
        names[kind] += [{"number": i, "name": f"{kind[:-1].upper()} {i}"[:width]}
                        for i in range(1, last + 1) if i not in named]
    path = os.path.join(directory, "estate-full.json")
    with open(path, "w") as f:
        json.dump(scenario, f)
    return path


def wait(predicate, what, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.001)
    raise AssertionError("timed out waiting for " + what)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--idle-seconds", type=float, default=30.0)
    args = parser.parse_args()
    e2e.BUILD, e2e.SOURCE = os.path.abspath(args.build), SOURCE

    scenario_dir = tempfile.mkdtemp(prefix="zel-bench-")
    d = e2e.DaemonFixture(scenario=full_estate(scenario_dir))
    broker = mqtt = watch = seen = None
    try:
        d.start()
        broker = m.Broker()
        conf = os.path.join(d.inst, "zelmqtt.conf")
        with open(conf, "w") as f:
            f.write(f"broker_port = {broker.port}\n"
                    f"bridge_socket = {os.path.join(d.inst, 'zelbridge.sock')}\n")
        log = open(os.path.join(d.inst, "zelmqtt.log"), "w")
        mqtt = subprocess.Popen([os.path.join(e2e.BUILD, "mqtt", "zelmqtt"), "--config", conf],
                                stderr=log)
        seen = Stamped(broker.port, "zelcommsrv/#")
        watch = WatchLines(d.watch("watch"))
        wait(lambda: seen.get("zelcommsrv/status") == "online", "zelmqtt online")
        wait(lambda: (d.value("EventConnections") or 0) >= 2, "both event connections")
        wait(lambda: seen.get(f"zelcommsrv/zone/{ZONE}"), "the zone's state")
        published = {kind: len(seen.under(f"zelcommsrv/{kind}/"))
                     for kind in ("zone", "unit", "area", "thermostat", "button", "message")}

        stages = {k: [] for k in ("poll", "server", "relay", "state", "watch total",
                                  "event total", "state total")}
        for n in range(args.rounds):
            condition = 1 if n % 2 == 0 else 0
            time.sleep(random.uniform(0.2, 1.2))  # rounds fall anywhere in the poll period
            sent_before = d.control({"query": "state"})["system_events_sent"]
            t0 = time.monotonic()
            reply = d.control({"zone": {"number": ZONE, "condition": condition}})
            code = reply["code"]
            wait(lambda: d.control({"query": "state"})["system_events_sent"] > sent_before,
                 "the event handed out")
            t_sent = time.monotonic()
            t_watch = wait(lambda: watch.first(t0, f"Code=0x{code:04X}"), "the watch line")
            t_event = wait(lambda: seen.first(t0, lambda t, p: t == "zelcommsrv/event"
                                              and f'"Code":{code}' in p), "the MQTT event")
            t_state = wait(lambda: seen.first(
                t0, lambda t, p: t == f"zelcommsrv/zone/{ZONE}" and p
                and json.loads(p)["condition"] == condition), "the zone's state")
            for key, value in (("poll", t_sent - t0), ("server", t_watch - t_sent),
                               ("relay", t_event - t_watch), ("state", t_state - t_event),
                               ("watch total", t_watch - t0), ("event total", t_event - t0),
                               ("state total", t_state - t0)):
                stages[key].append(value * 1000)

        print(f"published: {published}")
        print(f"{'stage':<12} {'median ms':>10} {'min':>8} {'max':>8}   ({args.rounds} rounds)")
        for key, values in stages.items():
            print(f"{key:<12} {statistics.median(values):>10.1f} {min(values):>8.1f} "
                  f"{max(values):>8.1f}")

        # Idle: nothing changes; zelmqtt reads every state each refresh interval.
        c0, d0, t0 = cpu_seconds(mqtt.pid), cpu_seconds(d.daemon.pid), time.monotonic()
        time.sleep(args.idle_seconds)
        c1, d1, t1 = cpu_seconds(mqtt.pid), cpu_seconds(d.daemon.pid), time.monotonic()
        print(f"idle {t1 - t0:.0f} s: zelmqtt {100 * (c1 - c0) / (t1 - t0):.2f} % CPU, "
              f"VmRSS {rss_mb(mqtt.pid):.1f} MB; daemon {100 * (d1 - d0) / (t1 - t0):.2f} % CPU, "
              f"VmRSS {rss_mb(d.daemon.pid):.1f} MB")
        print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    finally:
        if seen:
            seen.close()
        if watch:
            watch.proc.kill()
            watch.proc.wait()
        if mqtt and mqtt.poll() is None:
            mqtt.terminate()
            mqtt.wait(timeout=10)
        if broker:
            broker.close()
        d.close()
        shutil.rmtree(scenario_dir, ignore_errors=True)


if __name__ == "__main__":
    main()
