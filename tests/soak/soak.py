#!/usr/bin/env python3
"""Fault-matrix soak: the daemon against zelsim on the serial link (pseudo-terminal) or on UDP,
with four bridge clients reading and commanding (each its own unit) and one watching events,
while the simulator's control socket cycles through line faults.

Checked throughout and at the end:
- the daemon never exits, and while no fault is active every bridge read answers within 1 s;
- every unit command either reached the controller exactly once, in order, or was reported
  failed (then it reached it at most once);
- after each fault the object model matches the simulator's units within one update interval;
- every record added to the controller's event log, and every system event queued while the
  link is healthy, reaches the watching client exactly once;
- open fds and threads do not grow, and the resident size's slope is reported;
- the daemon stops cleanly and its store opens clean afterwards.

Run: soak.py BUILD_DIR SOURCE_DIR [--link serial|udp] [--seconds N] [--outage N]
Exit status 0 when every check held; the summary goes to standard output (and --json FILE).
"""
import argparse
import os
import random
import signal
import threading
import time

import soak_common as common
from soak_common import Bridge, BridgeError, EventStream

UNITS = (1, 2, 3, 4)            # the house scenario's units, one per commanding client
HEALTHY_ANSWER_SECONDS = 1.0    # a read must answer this fast while no fault is active
HEALTHY_SECONDS = 3.0           # how long the link is left healthy between two faults
SYSTEM_EVENT_CODE = 0x0602      # a system event queued once per fault, while healthy
SESSION_LOST = ("controller_reboot", "session_forgotten")


def fault_matrix(link, outage):
    """(name, control lines, seconds to hold[, control lines that end it]) for each fault, in
    the order they are cycled; every fault ends with its faults cleared."""
    common_faults = [
        ("bad_crc", [{"fault": "corrupt_crc", "count": 2}], 3),
        ("garbage_between_frames", [{"fault": "garbage", "bytes": [0, 255, 90, 3, 1], "count": 3}], 3),
        ("one_byte_chunks", [{"fault": "chunked", "chunks": [1], "pause_ms": 120, "count": 3}], 3),
        ("delay_under_timeout", [{"fault": "delay", "delay_ms": 2800, "count": 2}], 6),
        ("delay_over_timeout", [{"fault": "delay", "delay_ms": 3300, "count": 2}], 7),
        ("controller_reboot", [{"reboot": True}], 2),
    ]
    if link == "serial":
        return [
            ("lost_reply", [{"fault": "no_reply", "count": 2}], 3),
            ("bad_start", [{"fault": "bad_start", "count": 2}], 3),
            ("truncated_reply", [{"fault": "truncate", "truncate_to": 3, "count": 2}], 3),
            *common_faults,
            # The cable pulled: the terminal closes (the daemon's descriptor hangs up and the
            # device goes); put back as a new terminal behind the same link.
            ("link_gone", [{"serial": "unplug"}], outage, [{"serial": "plug"}]),
        ]
    return [
        ("lost_request", [{"fault": "lose_request", "count": 2}], 3),
        ("lost_reply", [{"fault": "lose_reply", "count": 2}], 3),
        ("previous_sequence", [{"fault": "previous_sequence", "count": 2}], 3),
        ("stray_sender", [{"fault": "stray_sender", "count": 3}], 3),
        ("wrong_type", [{"fault": "wrong_type", "count": 2}], 3),
        *common_faults,
        ("session_forgotten", [{"udp": "forget_session"}], 2),
        ("link_gone", [{"fault": "lose_request", "count": -1}], outage),
    ]


class Soak:
    def __init__(self, args):
        self.args = args
        self.link = args.link
        self.failures = []
        self.lock = threading.RLock()
        self.stop = threading.Event()
        self.healthy = threading.Event()   # set while no fault is active and the link is up
        self.paused = threading.Event()    # clients hold their commands while set
        self.commands = {u: [] for u in UNITS}      # unit -> [(percent, ok, status)]
        self.latencies = []                          # (healthy, seconds) of every read
        self.slow_reads = []
        self.client_idle = [threading.Event() for _ in UNITS]
        self.log_seen = {}                           # log record index -> times seen
        self.system_seen = 0
        self.faults_injected = {}
        self.samples = []                            # (seconds, fds, threads, rss kB)
        self.recoveries = {}                         # fault -> [seconds until through again]
        self.consistent_after = []                   # seconds until the units matched

    def fail(self, text):
        with self.lock:
            self.failures.append(text)
        print("FAIL:", text, flush=True)

    # ---- set-up ------------------------------------------------------------------------------

    def start(self):
        sim_args = ["--udp", "0"] if self.link == "udp" else []
        self.d = common.base.DaemonFixture(sim_args=sim_args)
        self.sock = os.path.join(self.d.inst, "zelbridge.sock")
        # The socket file can appear a moment before the bridge accepts on it.
        admin = None

        def connected():
            nonlocal admin
            try:
                admin = Bridge(self.sock)
            except BridgeError:
                return False
            return True
        common.wait_for(connected, 30, "the bridge to accept")
        admin.put("AccessCode", "1234")
        if self.link == "udp":
            self.d.sim.stdout.readline()  # the terminal device
            line = self.d.sim.stdout.readline().decode().strip()
            port = int(line.rsplit(":", 1)[1])
            net = 'CommHandlers.Item("Network (UDP)")'
            self.d.zelctl("put", f"{net}.Address", "127.0.0.1")
            self.d.zelctl("put", f"{net}.Port", str(port))
            self.d.zelctl("put", "CommunicationsHandler", f"@{net}")
        status, _ = admin.call("Start")
        if status != "00000000":
            raise SystemExit(f"Start failed: {status}")
        self.interval = admin.get("Units.UpdateInterval")[1]
        admin.close()
        self.started = time.monotonic()

    def sim(self, line):
        return self.d.sim_control(line)

    # ---- the clients -------------------------------------------------------------------------

    def client(self, index, unit):
        rng = random.Random(index)
        bridge = Bridge(self.sock, timeout=90)
        percent = rng.randrange(1, 100)
        idle = self.client_idle[index]
        while not self.stop.is_set():
            if self.paused.is_set():
                idle.set()
                self.stop.wait(0.05)
                continue
            idle.clear()
            try:
                for path in ("Status", f"Units.Item({unit}).Status", "LinkState"):
                    healthy = self.healthy.is_set()
                    begun = time.monotonic()
                    bridge.get(path)
                    took = time.monotonic() - begun
                    with self.lock:
                        self.latencies.append((healthy and self.healthy.is_set(), took))
                    if healthy and self.healthy.is_set() and took > HEALTHY_ANSWER_SECONDS:
                        self.slow_reads.append((path, took))
                # Consecutive levels differ, so a command that reached the controller twice
                # shows as a repeat.
                percent = percent % 99 + 1
                status, _ = bridge.call(f"Units.Item({unit}).Level", percent)
                with self.lock:
                    self.commands[unit].append((percent, status == "00000000", status))
            except BridgeError as e:
                self.fail(f"client {index}: the bridge did not answer: {e}")
                self.stop.wait(1.0)
            # The commands' pace, not a synchronisation.
            self.stop.wait(rng.uniform(0.2, 0.8))
        idle.set()
        bridge.close()

    def watcher(self):
        self.stream = EventStream(self.sock)
        self.watching.set()
        while True:
            try:
                event_id, event = self.stream.next()
            except BridgeError as e:
                if not self.stop.is_set():
                    self.fail(f"watcher: {e}")
                return
            member = event.get("member")
            arguments = event.get("arguments") or [{}]
            properties = arguments[0].get("properties", {})
            with self.lock:
                if member == "OnEvent":
                    index = properties.get("Index", {}).get("value")
                    self.log_seen[index] = self.log_seen.get(index, 0) + 1
                elif member == "OnSystemEvent":
                    if properties.get("Code", {}).get("value") == SYSTEM_EVENT_CODE:
                        self.system_seen += 1

    def sampler(self):
        while not self.stop.is_set():
            if self.d.daemon.poll() is not None:
                self.fail(f"the daemon exited with {self.d.daemon.returncode}")
                self.stop.set()
                return
            try:
                fds, threads, rss = common.resources(self.d.daemon.pid)
            except OSError:
                continue
            with self.lock:
                self.samples.append((time.monotonic() - self.started, fds, threads, rss))
            self.stop.wait(1.0)

    # ---- the checks --------------------------------------------------------------------------

    def wait_link_up(self, what, timeout):
        bridge = Bridge(self.sock)
        try:
            if common.poll(lambda: bridge.get("LinkState")[1] == "up" and
                           bridge.get("Status")[1] == 16, timeout, interval=0.1):
                return True
            self.fail(f"after {what}: the link was not up again within {timeout:.0f} s")
            return False
        finally:
            bridge.close()

    def quiesce(self):
        self.paused.set()
        for idle in self.client_idle:
            if not idle.wait(120):
                self.fail("a client's command did not return within 120 s")

    def check_consistency(self, what):
        """The units the bridge shows match the simulator's within one update interval (the
        clients are paused, so nothing changes the controller meanwhile)."""
        bridge = Bridge(self.sock)
        begun = time.monotonic()
        last = {}

        def same():
            last["sim"] = {u["number"]: u["status"] for u in self.sim({"query": "units"})["units"]}
            last["shown"] = {u: bridge.get(f"Units.Item({u}).Status")[1] for u in UNITS}
            return all(last["shown"][u] == last["sim"][u] for u in UNITS)

        try:
            if common.poll(same, self.interval / 1000.0 + 2.0, interval=0.1):
                self.consistent_after.append(time.monotonic() - begun)
            else:
                self.fail(f"after {what}: units shown {last['shown']}, controller has {last['sim']}")
        finally:
            bridge.close()

    def system_event_through(self, what, timeout):
        with self.lock:
            expected = self.system_seen + 1
        self.sim({"system_events": [SYSTEM_EVENT_CODE]})
        self.system_raised += 1
        def seen():
            with self.lock:
                return self.system_seen >= expected

        if common.poll(seen, timeout):
            return True
        self.fail(f"after {what}: a system event did not reach the watcher within {timeout} s")
        return False

    def check_commands(self):
        """Per unit, the controller's level commands against the clients' outcomes."""
        records = self.sim({"query": "commands"})["commands"]
        outcome = {"ok": 0, "failed": 0, "failed_but_done": 0}
        for unit in UNITS:
            done = [c["parameter1"] for c in records
                    if c["command"] == 9 and c["parameter2"] == unit]
            j = 0
            matching = True  # until the first mismatch; the outcomes are counted to the end
            for percent, ok, status in self.commands[unit]:
                outcome["ok" if ok else "failed"] += 1
                if not matching:
                    continue
                if j < len(done) and done[j] == percent:
                    j += 1
                    outcome["failed_but_done"] += 0 if ok else 1
                elif ok:
                    self.fail(f"unit {unit}: level {percent} reported done, the controller got "
                              f"{done[max(0, j - 2):j + 3]} around it (position {j})")
                    matching = False
            if matching and j != len(done):
                self.fail(f"unit {unit}: the controller got {len(done) - j} level commands no "
                          f"client sent (or twice): {done[j:j + 5]}")
        return outcome

    # ---- the run -----------------------------------------------------------------------------

    def run(self):
        self.start()
        self.system_raised = 0
        self.log_raised = []
        self.watching = threading.Event()
        threads = [threading.Thread(target=self.watcher, daemon=True),
                   threading.Thread(target=self.sampler, daemon=True)]
        threads += [threading.Thread(target=self.client, args=(i, u), daemon=True)
                    for i, u in enumerate(UNITS)]
        for t in threads:
            t.start()
        self.watching.wait(20)
        self.wait_link_up("the start", 60)
        self.healthy.set()
        skip = set(filter(None, self.args.skip.split(",")))
        matrix = [f for f in fault_matrix(self.link, self.args.outage) if f[0] not in skip]
        end = self.started + self.args.seconds
        rounds = 0
        while not self.stop.is_set() and (rounds == 0 or time.monotonic() < end):
            for name, lines, hold, *ending in matrix:
                if self.stop.is_set():
                    break
                self.healthy.clear()
                for line in lines:
                    reply = self.sim(line)
                    if not reply.get("ok"):
                        self.fail(f"{name}: the simulator refused {line}: {reply}")
                self.faults_injected[name] = self.faults_injected.get(name, 0) + 1
                self.log_raised.append(self.sim({"log_event": common.log_event(len(self.log_raised))})["records"])
                # The fault's time on the line (the schedule, not a synchronisation).
                self.stop.wait(hold)
                self.sim({"clear": "faults"})
                for line in (ending[0] if ending else []):
                    reply = self.sim(line)
                    if not reply.get("ok"):
                        self.fail(f"{name}: the simulator refused {line}: {reply}")
                cleared = time.monotonic()
                # Recovered once the link is up and a system event queued now comes through:
                # the server is logged in and polling again.
                # A controller that lost the network session answers nothing until the daemon
                # finds the link down (a first request's 33 s of resends) and logs in again;
                # until then the link may still read "up", so the system event is the proof.
                limit = 120 if self.link == "udp" and name in SESSION_LOST else 60
                if not self.wait_link_up(name, limit) or not self.system_event_through(name, limit):
                    continue
                self.recoveries.setdefault(name, []).append(time.monotonic() - cleared)
                self.quiesce()
                self.check_consistency(name)
                self.paused.clear()
                self.healthy.set()
                # A healthy stretch before the next fault, in which the clients' reads are held
                # to the 1 s bound (the schedule, not a synchronisation).
                self.stop.wait(HEALTHY_SECONDS)
            rounds += 1
        return self.finish(threads)

    def finish(self, threads):
        self.quiesce()
        # Every log record raised reaches the watcher: the last one within the walk's time.
        def all_seen():
            with self.lock:
                return all(self.log_seen.get(i, 0) >= 1 for i in self.log_raised)

        common.poll(all_seen, 30, interval=0.1)
        self.stop.set()
        self.stream.close()
        for t in threads:
            t.join(timeout=120)
        with self.lock:
            for i in self.log_raised:
                if self.log_seen.get(i, 0) != 1:
                    self.fail(f"log record {i} reached the watcher {self.log_seen.get(i, 0)} times "
                              f"(seen: {sorted(self.log_seen.items())})")
            if self.system_seen != self.system_raised:
                self.fail(f"{self.system_raised} system events raised, "
                          f"{self.system_seen} reached the watcher")
        outcome = self.check_commands()
        if self.slow_reads:
            self.fail(f"{len(self.slow_reads)} reads took over {HEALTHY_ANSWER_SECONDS} s while "
                      f"healthy, slowest {max(t for _, t in self.slow_reads):.2f} s")
        # Growth: the last third of the run against the first (after the start settled).
        s = self.samples
        third = max(1, len(s) // 3)
        fd_growth = max(x[1] for x in s[-third:]) - max(x[1] for x in s[:third]) if s else 0
        thread_growth = max(x[2] for x in s[-third:]) - max(x[2] for x in s[:third]) if s else 0
        if fd_growth > 2:
            self.fail(f"open fds grew by {fd_growth}")
        if thread_growth > 2:
            self.fail(f"threads grew by {thread_growth}")
        rss_slope = common.slope_per_minute([(t, rss) for t, _, _, rss in s[third:]])
        self.d.daemon.send_signal(signal.SIGTERM)
        try:
            code = self.d.daemon.wait(timeout=60)
        except Exception:
            code = "hung"
        if code != 0:
            self.fail(f"the daemon's stop ended with {code}")
        store = common.store_status(self.d.inst)
        if store != "0x00000000":
            self.fail(f"the store did not open clean: {store}")
        reads = [t for _, t in self.latencies]
        healthy_reads = [t for h, t in self.latencies if h]
        summary = {
            "link": self.link,
            "seconds": round(time.monotonic() - self.started, 1),
            "faults_injected": self.faults_injected,
            "commands": outcome,
            "reads": len(reads),
            "slowest_healthy_read_s": round(max(healthy_reads, default=0), 3),
            "slowest_read_s": round(max(reads, default=0), 3),
            "log_events_checked": len(self.log_raised),
            "system_events_checked": self.system_raised,
            "slowest_recovery_s": {k: round(max(v), 1) for k, v in self.recoveries.items()},
            "slowest_consistency_s": round(max(self.consistent_after, default=0), 2),
            "fds": [s[0][1], s[-1][1]] if s else None,
            "threads": [s[0][2], s[-1][2]] if s else None,
            "rss_kb": [s[0][3], s[-1][3]] if s else None,
            "rss_slope_kb_per_min": round(rss_slope, 1),
            "crashes": 0 if code == 0 else 1,
            "store": store,
            "failures": self.failures,
        }
        common.report(summary, self.args.json)
        return not self.failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("source")
    parser.add_argument("--link", choices=("serial", "udp"), default="serial")
    parser.add_argument("--seconds", type=float, default=600,
                        help="how long to cycle the faults (at least one pass)")
    parser.add_argument("--outage", type=float, default=60,
                        help="how long the link is gone in the link_gone fault")
    parser.add_argument("--skip", default="",
                        help="faults to leave out, by name, separated by commas")
    parser.add_argument("--json", help="also write the summary to this file")
    args = parser.parse_args()
    common.run_driver(args, Soak(args))


if __name__ == "__main__":
    main()
