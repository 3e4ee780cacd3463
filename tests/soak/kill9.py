#!/usr/bin/env python3
"""Kill -9 cycles: the daemon is killed with SIGKILL at random moments (during its start and the
downloads, during event-log walks, SaveSetup and friendly-name saves) and started again on the
same instance directory. Every start must reach ssInteractive by itself and hold what the store
held at its last successful commit: the stored setup (it starts without help), the friendly name
last saved (or the one being saved when the kill came), and every event-log entry it had stored.

Run: kill9.py BUILD_DIR SOURCE_DIR [--rounds N] [--seed S]
Exit status 0 when every round held; the summary goes to standard output (and --json FILE).
"""
import argparse
import os
import random
import signal
import subprocess
import threading
import time

import soak_common as common
from soak_common import Bridge, BridgeError

MOMENTS = ("start", "downloads", "walk", "save_setup", "friendly_names", "idle")
INTERACTIVE = 16
ZONE = 'Zones.Item(1)'


class Cycles:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.failures = []
        self.moments = {m: 0 for m in MOMENTS}
        self.start_seconds = []
        self.committed_name = None      # the friendly name of the last save that returned S_OK
        self.committed_events = []      # the event-log indexes seen stored before the kill

    def fail(self, round_no, text):
        self.failures.append(f"round {round_no}: {text}")
        print(f"FAIL round {round_no}: {text}", flush=True)

    def launch(self):
        """Starts the daemon on the instance, without --no-start: it starts the server from
        the stored setup."""
        self.d.daemon = subprocess.Popen(
            [os.path.join(common.base.BUILD, "service", "zelcommsrv"), "--instance", self.d.inst,
             "--no-tcp"], stderr=self.d.log)
        self.launched = time.monotonic()

    def kill(self):
        self.d.daemon.send_signal(signal.SIGKILL)
        self.d.daemon.wait(timeout=30)

    def bridge(self, timeout=30):
        """A bridge session once the daemon's socket answers; None when it did not in time."""
        def attempt():
            if self.d.daemon.poll() is not None:
                return "gone"
            try:
                return Bridge(self.sock, timeout=30)
            except (BridgeError, OSError, KeyError):
                return None

        got = common.poll(attempt, timeout, interval=0.02)
        return got if isinstance(got, Bridge) else None

    def interactive(self, bridge, timeout=60):
        return bool(common.poll(lambda: bridge.get("Status")[1] == INTERACTIVE, timeout))

    def stored_events(self, bridge):
        status, count = bridge.get("Events.Count")
        if status != "00000000":
            return None
        return [bridge.get(f"Events.Item({i}).Index")[1] for i in range(1, count + 1)]

    def setup(self):
        self.d = common.base.DaemonFixture()
        self.sock = os.path.join(self.d.inst, "zelbridge.sock")
        self.d.start()
        admin = Bridge(self.sock)
        if admin.call("SaveSetup")[0] != "00000000":
            raise SystemExit("SaveSetup failed")
        admin.close()
        self.d.daemon.send_signal(signal.SIGTERM)
        self.d.daemon.wait(timeout=30)

    def round(self, n):
        moment = self.rng.choice(MOMENTS)
        self.moments[moment] += 1
        if moment in ("start", "downloads"):
            # Killed before the start is through: at once, or once the bridge answers and the
            # downloads run.
            self.launch()
            if moment == "downloads":
                b = self.bridge()
                if b:
                    b.close()
            time.sleep(self.rng.uniform(0, 0.4))
            self.kill()
            self.check_store(n)
        self.launch()
        b = self.bridge()
        if b is None or not self.interactive(b):
            self.fail(n, f"no ssInteractive after a kill ({moment}); see {self.d.inst}/server.log")
            if b:
                b.close()
            return False
        self.start_seconds.append(time.monotonic() - self.launched)
        self.check_held(n, b)
        in_flight = None
        action = None
        if moment == "walk":
            action = lambda: self.d.sim_control({"log_event": common.log_event(n, 6)})
        elif moment == "save_setup":
            action = lambda: b.call("SaveSetup")
        elif moment == "friendly_names":
            in_flight = f"ROUND {n}"

            def action():
                if b.put(f"{ZONE}.FriendlyName", in_flight) == "00000000" and \
                        b.call("SaveFriendlyNames")[0] == "00000000":
                    self.committed_name = in_flight
        self.in_flight_name = in_flight
        if action:
            t = threading.Thread(target=lambda: self.swallow(action), daemon=True)
            t.start()
        time.sleep(self.rng.uniform(0, 0.3 if action else 1.0))
        self.kill()
        if action:
            t.join(timeout=60)
        b.close()
        self.check_store(n)
        return True

    @staticmethod
    def swallow(action):
        try:
            action()
        except BridgeError:
            pass  # the daemon died under the request

    def check_store(self, n):
        status = common.store_status(self.d.inst)
        if status != "0x00000000":
            self.fail(n, f"the store did not open clean after the kill: {status}")

    def check_held(self, n, b):
        name = b.get(f"{ZONE}.FriendlyName")[1]
        allowed = {self.committed_name, getattr(self, "in_flight_name", None)} - {None}
        if allowed and name not in allowed:
            self.fail(n, f"friendly name {name!r}, last committed {self.committed_name!r}")
        elif name != self.committed_name and name == getattr(self, "in_flight_name", None):
            self.committed_name = name  # the kill came after the commit, before the reply
        events = self.stored_events(b)
        if events is None:
            self.fail(n, "the event log could not be read")
            return
        lost = [i for i in self.committed_events if i not in events]
        if lost:
            self.fail(n, f"stored event-log entries lost: {lost}")
        self.committed_events = events

    def run(self):
        self.setup()
        for n in range(1, self.args.rounds + 1):
            if not self.round(n) and len(self.failures) > 5:
                break
        if self.d.daemon.poll() is None:
            self.kill()
        summary = {
            "rounds": self.args.rounds,
            "failures": len(self.failures),
            "moments": self.moments,
            "slowest_start_s": round(max(self.start_seconds, default=0), 2),
            "event_log_entries_held": len(self.committed_events),
            "failure_list": self.failures,
        }
        common.report(summary, self.args.json)
        return not self.failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("build")
    parser.add_argument("source")
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--json", help="also write the summary to this file")
    args = parser.parse_args()
    if args.seed is None:
        args.seed = random.randrange(1 << 30)
    print("seed", args.seed, flush=True)
    common.run_driver(args, Cycles(args))


if __name__ == "__main__":
    main()
