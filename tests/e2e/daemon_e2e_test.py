#!/usr/bin/env python3
"""Black-box tests of the daemon: zelsim on a pseudo-terminal, zelcommsrv against it, zelctl as
the client. Each test starts its own simulator and daemon in a throw-away instance directory.

Run: daemon_e2e_test.py BUILD_DIR SOURCE_DIR
"""
import http.client
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = SOURCE = None


def poll(predicate, timeout=20.0, interval=0.05):
    """Asks predicate every interval seconds until it gives something true or timeout seconds
    have passed; returns what it gave last."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def wait_for(predicate, timeout=20.0, what="condition"):
    if not poll(predicate, timeout):
        raise AssertionError("timed out waiting for " + what)


def zone_state(status):
    """A zone's state in words (as zelmqtt and the web page show it), worked out here from a
    scenario's status byte: the condition in bits 0-1, the arming in bits 4-5."""
    condition, arming = status & 3, (status >> 4) & 3
    if arming in (1, 2):
        return "bypassed"
    if condition in (2, 3):
        return "trouble"
    return "open" if condition == 1 else "closed"


class DaemonFixture:
    def __init__(self, scenario="house.json", extra_args=(), before_start=None, sim_args=()):
        self.inst = tempfile.mkdtemp(prefix="zel-e2e-")
        if before_start:
            before_start(self.inst)
        with open(os.path.join(SOURCE, "resources", "ZelCommSrvRes.DLL.txt")) as src, \
                open(os.path.join(self.inst, "ZelCommSrvRes.DLL.txt"), "w") as dst:
            for line in src:
                dst.write(f"185 = {self.inst}/ttyS\n" if line.startswith("185 =") else line)
        self.frames = os.path.join(self.inst, "frames.txt")
        self.sim = subprocess.Popen(
            [os.path.join(BUILD, "sim", "zelsim"),
             "--scenario", os.path.join(SOURCE, "sim", "scenarios", scenario),
             "--link", os.path.join(self.inst, "ttyS1"),
             "--control", os.path.join(self.inst, "sim.sock"), "--record", self.frames,
             *sim_args],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        wait_for(lambda: os.path.exists(os.path.join(self.inst, "ttyS1")), what="simulator link")
        self.log = open(os.path.join(self.inst, "server.log"), "w")
        self.daemon = subprocess.Popen(
            [os.path.join(BUILD, "service", "zelcommsrv"), "--instance", self.inst,
             "--no-start", *(extra_args or ["--no-tcp"])], stderr=self.log)
        wait_for(lambda: os.path.exists(os.path.join(self.inst, "zelbridge.sock")),
                 what="bridge socket")

    def zelctl(self, *args, check=True):
        out = subprocess.run(
            [os.path.join(BUILD, "cli", "zelctl"), "--socket",
             os.path.join(self.inst, "zelbridge.sock"), *args],
            capture_output=True, text=True, timeout=60)
        if check and out.returncode != 0:
            raise AssertionError(f"zelctl {args} failed: {out.stdout} {out.stderr}")
        return out

    def value(self, path):
        reply = json.loads(self.zelctl("--json", "get", path).stdout)
        return reply["result"].get("value")

    def sim_control(self, request):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(os.path.join(self.inst, "sim.sock"))
            s.sendall((json.dumps(request) + "\n").encode())
            reply = b""
            while not reply.endswith(b"\n"):
                chunk = s.recv(65536)
                if not chunk:
                    break
                reply += chunk
        return json.loads(reply)

    def events(self, *args):
        return json.loads(self.zelctl("--json", "events", *args).stdout)

    def watch(self, *args):
        """Starts zelctl watch and returns once it is connected (its ready line)."""
        proc = subprocess.Popen(
            [os.path.join(BUILD, "cli", "zelctl"), "--socket",
             os.path.join(self.inst, "zelbridge.sock"), *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        ready = proc.stderr.readline()
        if ready.strip() != "zelctl: watching":
            proc.kill()
            raise AssertionError("zelctl watch did not connect: " + ready + proc.stderr.read())
        return proc

    def restart_daemon(self):
        self.daemon.send_signal(signal.SIGTERM)
        assert self.daemon.wait(timeout=30) == 0
        self.daemon = subprocess.Popen(
            [os.path.join(BUILD, "service", "zelcommsrv"), "--instance", self.inst,
             "--no-tcp", "--no-start"], stderr=self.log)
        wait_for(lambda: self.zelctl("status", check=False).returncode == 0, what="bridge")

    def frame_lines(self):
        with open(self.frames) as f:
            return [line.strip() for line in f if line.strip()]

    def control(self, request):
        import socket
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(os.path.join(self.inst, "sim.sock"))
            s.sendall((json.dumps(request) + "\n").encode())
            reply = b""
            while not reply.endswith(b"\n"):
                chunk = s.recv(4096)
                if not chunk:
                    break
                reply += chunk
        return json.loads(reply)

    def start(self, code="1234"):
        self.zelctl("put", "AccessCode", code)
        self.zelctl("call", "Start")

    def close(self):
        for proc in (self.daemon, self.sim):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
        codes = []
        for proc in (self.daemon, self.sim):
            try:
                codes.append(proc.wait(timeout=30))
            except subprocess.TimeoutExpired:
                proc.kill()
                codes.append("hung")
        self.log.close()
        if self.sim.stdout:
            self.sim.stdout.close()
        shutil.rmtree(self.inst, ignore_errors=True)
        return codes


class StartAndStop(unittest.TestCase):
    def setUp(self):
        self.d = DaemonFixture()

    def tearDown(self):
        self.d.close()

    def test_start_reaches_interactive_and_stop_logs_out(self):
        self.d.start()
        self.assertEqual(16, self.d.value("Status"))
        status = self.d.zelctl("status").stdout
        self.assertIn("ssInteractive", status)
        # The first frames of the start: probe, then login with the four digits.
        frames = self.d.frame_lines()
        self.assertEqual("5A 01 05 C1 93", frames[0])
        self.assertTrue(frames[1].startswith("5A 05 20 01 02 03 04"), frames[1])
        self.d.daemon.send_signal(signal.SIGTERM)
        self.assertEqual(0, self.d.daemon.wait(timeout=30))
        self.assertEqual("5A 01 21 C1 88", self.d.frame_lines()[-1])

    def test_wrong_access_code_fails_and_a_client_can_start_again(self):
        result = self.d.zelctl("put", "AccessCode", "9999")
        self.assertEqual(0, result.returncode)
        failed = self.d.zelctl("call", "Start", check=False)
        self.assertNotEqual(0, failed.returncode)
        self.assertIn("C0000004", (failed.stdout + failed.stderr).upper())
        self.assertEqual(128, self.d.value("Status"))
        self.d.start("1234")
        self.assertEqual(16, self.d.value("Status"))


class Objects(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.d = DaemonFixture()
        cls.d.start()

    @classmethod
    def tearDownClass(cls):
        cls.d.close()

    def test_list_zones_shows_the_scenario_names(self):
        listing = self.d.zelctl("list", "Zones").stdout
        self.assertIn("FRONT DOOR", listing)
        self.assertIn("SMOKE DETECTOR", listing)

    def test_bypass_sends_the_command_frame_and_the_next_poll_shows_it(self):
        before = self.d.value("Zones.Item(2).ArmingStatus")
        self.d.zelctl("call", "Zones.Item(2).Bypass", "1234")
        lines = self.d.frame_lines()
        bypass = [l for l in lines if l.startswith("5A 05 0F 04")]
        self.assertTrue(bypass, lines[-5:])
        self.assertTrue(bypass[-1].startswith("5A 05 0F 04 01 00 02"), bypass[-1])
        # The element refreshes itself after the command: zone 2 is polled after it (the units'
        # update thread may slip a poll of its own in between).
        # The event log's walks (the log request alone while nothing is new) may come between.
        after = [l for l in lines[lines.index(bypass[-1]) + 1:] if l != "5A 01 0D C0 55"]
        self.assertIn("5A 03 15 02 02 91 21", after[:4])
        self.assertNotEqual(before, self.d.value("Zones.Item(2).ArmingStatus"))

    def test_unit_on_is_seen_on_the_next_poll(self):
        self.d.zelctl("call", "Units.Item(3).On")
        wait_for(lambda: self.d.value("Units.Item(3).Status") == 1, what="unit 3 on")

    def test_a_bad_path_is_a_clear_error(self):
        out = self.d.zelctl("get", "Zones.Item(2).NoSuchMember", check=False)
        self.assertNotEqual(0, out.returncode)
        self.assertIn("80020006", (out.stdout + out.stderr).upper())


class HeldAndCutLink(unittest.TestCase):
    """A controller that holds the link, or stops answering and comes back."""

    def tearDown(self):
        self.d.close()

    def test_sigterm_ends_promptly_while_a_trickling_reply_holds_the_link(self):
        self.d = DaemonFixture()
        self.d.start()
        # The next reply trickles out a byte every 2 s: no read of the server times out, so the
        # exchange (and the request lock) would be held for 10 s or more.
        self.assertTrue(self.d.control({"fault": "trickle", "pause_ms": 2000})["ok"])
        wait_for(lambda: self.d.control({"query": "state"})["faults"] == 0,
                 what="an exchange to take the trickling reply")
        begun = time.monotonic()
        self.d.daemon.send_signal(signal.SIGTERM)
        self.assertEqual(0, self.d.daemon.wait(timeout=30))
        self.assertLess(time.monotonic() - begun, 5.0)
        # The stop still logged out: the controller dropped the trickle for the new request.
        self.assertEqual("5A 01 21 C1 88", self.d.frame_lines()[-1])

    def test_link_state_follows_the_link_cut_and_restored(self):
        # Down after 4.5 s: longer than one read time-out (3 s), so the first failed exchange
        # makes the link degraded before the down time runs out.
        self.d = DaemonFixture(extra_args=["--no-tcp", "--link-down-after", "4500"])
        self.d.start()
        self.assertEqual("up", self.d.value("LinkState"))
        good = self.d.value("LinkLastGood")
        self.assertIsNotNone(good)
        watch = self.d.watch("--json", "watch")
        try:
            self.assertTrue(self.d.control({"fault": "no_reply", "count": -1})["ok"])
            wait_for(lambda: self.d.value("LinkState") == "down", timeout=30, what="link down")
            self.assertGreater(self.d.value("LinkFailures"), 0)
            self.assertEqual(good, self.d.value("LinkLastGood"))
            self.assertEqual(16, self.d.value("Status"))  # the lifecycle is not the link
            self.assertTrue(self.d.control({"clear": "faults"})["ok"])
            wait_for(lambda: self.d.value("LinkState") == "up", timeout=30, what="link up")
            self.assertEqual(0, self.d.value("LinkFailures"))
            states = []
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline and states[-1:] != ["up"]:
                event = json.loads(watch.stdout.readline())
                if event.get("member") == "OnLinkStateChange":
                    states.append(event["arguments"][0]["value"])
            self.assertEqual(["degraded", "down", "up"], states)
        finally:
            watch.terminate()
            watch.wait(timeout=10)
            watch.stdout.close()
            watch.stderr.close()


class Events(unittest.TestCase):
    def setUp(self):
        self.d = DaemonFixture()

    def tearDown(self):
        self.d.close()

    def test_watch_sees_the_status_changes_of_a_start(self):
        watch = self.d.watch("--json", "watch")
        try:
            self.d.start()
            seen = []
            deadline = time.monotonic() + 20
            while time.monotonic() < deadline:
                line = watch.stdout.readline()
                if not line:
                    break
                event = json.loads(line)
                if event.get("member") == "OnServerStatusChange":
                    seen.append(event["arguments"][0]["value"])
                    if seen[-1] == 16:
                        break
            self.assertIn(1, seen)
            self.assertEqual(16, seen[-1])
        finally:
            watch.terminate()
            watch.wait(timeout=10)
            watch.stdout.close()
            watch.stderr.close()

    def test_watch_shows_a_system_event_with_its_zone(self):
        self.d.start()
        watch = self.d.watch("watch", "--count", "2")
        try:
            self.assertTrue(self.d.control({"system_events": ["0x0602"]})["ok"])
            out, err = watch.communicate(timeout=20)
            lines = out.splitlines()
            self.assertEqual(2, len(lines), out + err)
            self.assertIn(" OnSystemEvent Type=17 Code=0x0602 State=1 Zone=BACK DOOR (h", lines[0])
            self.assertIn(" OnSystemZoneStatusChange Type=17 Code=0x0602", lines[1])
            # The request for the queued codes went out on the wire.
            self.assertIn("5A 01 22 81 89", self.d.frame_lines())
        finally:
            if watch.poll() is None:
                watch.terminate()
                watch.wait(timeout=10)


class UnixHTTPConnection(http.client.HTTPConnection):
    def __init__(self, path, timeout=20):
        super().__init__("localhost", timeout=timeout)
        self.path = path

    def connect(self):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(self.timeout)
        self.sock.connect(self.path)


class EventLog(unittest.TestCase):
    """The controller's event log: taken in at start, new records fired and stored, the stored
    history across a restart, its exact bytes, and the bridge's log cursor."""

    def setUp(self):
        self.d = DaemonFixture()
        self.d.start()

    def tearDown(self):
        self.d.close()

    def scenario_log(self):
        return self.d.sim_control({"query": "log"})["log"]

    def test_start_takes_in_the_log_oldest_first_and_new_records_follow(self):
        entries = self.d.events()
        self.assertEqual([1, 2, 3, 4], [e["index"] for e in entries])
        self.assertEqual([131, 48, 4, 49], [e["type"] for e in entries])
        self.assertEqual(["Event", "ArmEvent", "BypassEvent", "ArmEvent"],
                         [e["class"] for e in entries])
        self.assertEqual(0, entries[1]["properties"]["SecurityMode"])
        self.assertEqual("HOUSE", entries[3]["properties"]["Area"])
        self.assertEqual("KITCHEN WINDOW", entries[2]["properties"]["Zone"])
        self.d.sim_control({"log_event": {"type": 50, "parameter1": 1, "parameter2": 1,
                                          "month": 12, "day": 6, "hour": 8, "minute": 5}})
        wait_for(lambda: len(self.d.events()) == 5, what="the new record")
        new = self.d.events("--since", "4")
        self.assertEqual(1, len(new))
        self.assertEqual((5, "ArmEvent", 2), (new[0]["index"], new[0]["class"],
                                              new[0]["properties"]["SecurityMode"]))
        text = self.d.zelctl("events", "--since", "4").stdout
        self.assertTrue(text.startswith("5  "), text)
        self.assertIn("ArmEvent", text)

    def test_the_stored_history_survives_a_restart_and_the_log_rolling_over(self):
        self.d.sim_control({"log_event": {"type": 130, "parameter1": 2}})
        wait_for(lambda: len(self.d.events()) == 5, what="the new record")
        before = self.d.events()
        self.d.sim_control({"roll_log": 4})
        self.d.restart_daemon()
        self.d.start()
        self.assertEqual(before, self.d.events())
        self.d.sim_control({"log_event": {"type": 6}})
        wait_for(lambda: len(self.d.events()) == 6, what="the record after the restart")
        self.assertEqual([131, 48, 4, 49, 130, 6], [e["type"] for e in self.d.events()])

    def test_stored_bytes_read_by_an_independent_reader(self):
        newest = bytes.fromhex(self.scenario_log()[0])
        self.d.daemon.send_signal(signal.SIGTERM)
        self.assertEqual(0, self.d.daemon.wait(timeout=30))
        try:
            import olefile
        except ImportError:
            # python3-olefile installs for the system's interpreter; another one finds it there.
            sys.path.append("/usr/lib/python3/dist-packages")
            import olefile
        with olefile.OleFileIO(os.path.join(self.d.inst, "ZELINFO.DAT")) as ole:
            state = ole.openstream("EventsState").read()
            events = ole.openstream("Events").read()
        self.assertEqual(newest[:16], state)
        self.assertEqual(4, int.from_bytes(events[0:4], "little"))
        # The oldest entry: type 131, no time (the label as a type-8 string), Data 0.
        self.assertEqual(131, int.from_bytes(events[4:8], "little"))
        self.assertEqual(8, int.from_bytes(events[8:10], "little"))
        length = int.from_bytes(events[10:14], "little")
        self.assertEqual("Unknown\0", events[14:14 + length].decode("utf-16-le"))
        self.assertEqual(0, int.from_bytes(events[14 + length:18 + length], "little"))
        # The next: type 48 with a date (type 7).
        at = 18 + length
        self.assertEqual(48, int.from_bytes(events[at:at + 4], "little"))
        self.assertEqual(7, int.from_bytes(events[at + 4:at + 6], "little"))
        self.assertEqual(0x00010002, int.from_bytes(events[at + 14:at + 18], "little"))

    def open_stream(self, query, extra_headers):
        conn = UnixHTTPConnection(os.path.join(self.d.inst, "zelbridge.sock"))
        conn.request("POST", "/api/v1/automation", body=json.dumps({"op": "session"}))
        session = json.loads(conn.getresponse().read())["session"]
        headers = {"X-Zel-Session": session}
        self.headers = headers
        conn.request("POST", "/api/v1/automation", headers=headers,
                     body=json.dumps({"op": "create", "class": "Corvane.ZelServer"}))
        server = json.loads(conn.getresponse().read())["result"]["object"]
        conn.request("POST", "/api/v1/automation", headers=headers,
                     body=json.dumps({"op": "advise", "object": server}))
        conn.getresponse().read()
        stream = UnixHTTPConnection(os.path.join(self.d.inst, "zelbridge.sock"))
        stream.request("GET", "/api/v1/events" + query, headers={**headers, **extra_headers})
        return conn, stream, stream.getresponse()

    @staticmethod
    def next_event(response):
        event_id = None
        while True:
            line = response.readline().decode()
            if line.startswith("id: "):
                event_id = line[4:].strip()
            elif line.startswith("data: "):
                return event_id, json.loads(line[6:])

    LOG_MEMBERS = {"OnEvent", "OnAccessEvent", "OnAlarmEvent", "OnArmEvent", "OnBypassEvent",
                   "OnMessageEvent", "OnRestoreEvent", "OnTroubleEvent"}

    def next_log_event(self, response):
        """The next event of the log on the stream (status and link events pass by)."""
        while True:
            event_id, event = self.next_event(response)
            if event["member"] in self.LOG_MEMBERS:
                return event_id, event

    def test_a_reconnecting_client_gets_every_log_entry_after_its_cursor_once(self):
        # The scenario's log: 1 plain (131), 2 arming (48), 3 bypass (4), 4 arming (49). Each
        # replayed entry goes out as it did live: OnEvent, then the member of its class.
        for query, headers, expected in (
                ("?after=2", {}, [("OnEvent", "0.3"), ("OnBypassEvent", "0.3"),
                                  ("OnEvent", "0.4"), ("OnArmEvent", "0.4")]),
                ("", {"Last-Event-ID": "17.3"}, [("OnEvent", "0.4"), ("OnArmEvent", "0.4")])):
            conn, stream, response = self.open_stream(query, headers)
            try:
                for member, want in expected:
                    event_id, event = self.next_log_event(response)
                    self.assertEqual((member, want), (event["member"], event_id))
                    self.assertEqual(int(want.split(".")[1]),
                                     self.entry_index(conn, event["arguments"][0]["object"]))
            finally:
                stream.close()
                conn.close()

    def test_a_live_entry_after_the_replay_arrives_once_in_order(self):
        conn, stream, response = self.open_stream("?after=3", {})
        try:
            self.assertEqual(("OnEvent", "0.4"), self.next_log_id(response))
            self.assertEqual(("OnArmEvent", "0.4"), self.next_log_id(response))
            # Logged on the controller after the replay: the next walk fires it, live.
            self.d.sim_control({"log_event": {"type": 50, "parameter1": 1, "parameter2": 1}})
            member, event_id = self.next_log_id(response)
            self.assertEqual("OnEvent", member)
            self.assertEqual("5", event_id.split(".")[1])
            self.assertEqual(("OnArmEvent", event_id.split(".")[1]),
                             (lambda m, i: (m, i.split(".")[1]))(*self.next_log_id(response)))
            # Nothing of the log comes twice: the next log event is the next record's.
            self.d.sim_control({"log_event": {"type": 6}})
            member, event_id = self.next_log_id(response)
            self.assertEqual(("OnEvent", "6"), (member, event_id.split(".")[1]))
        finally:
            stream.close()
            conn.close()

    def next_log_id(self, response):
        event_id, event = self.next_log_event(response)
        return event["member"], event_id

    def entry_index(self, conn, handle):
        conn.request("POST", "/api/v1/automation", headers=self.headers,
                     body=json.dumps({"op": "get", "object": handle, "member": "Index"}))
        return json.loads(conn.getresponse().read())["result"]["value"]


class LoginAndServerLog(unittest.TestCase):
    """Client login with the scenario's user codes, and the server log the daemon keeps."""

    def setUp(self):
        self.d = DaemonFixture()
        self.d.start()

    def tearDown(self):
        self.d.close()

    def call(self, *args):
        out = self.d.zelctl("--json", "call", *args, check=False)
        return json.loads(out.stdout)

    def test_login_renew_logout_and_a_wrong_code_slows_the_caller(self):
        reply = self.call("Login", "owner", "1234")
        self.assertEqual("00000000", reply["status"])
        cookie = reply["result"]["value"]
        self.assertRegex(cookie, r"^\{[0-9A-F-]{36}\}$")
        self.assertEqual("00000000", self.call("Login", cookie)["status"])
        self.assertEqual("C0000007", self.call("Login", "owner", "1234")["status"].upper())
        self.assertEqual("00000000", self.call("Logout", cookie)["status"])
        self.assertEqual("80004005", self.call("Logout", cookie)["status"].upper())
        # A wrong code is refused, and the next code of this caller waits for the back-off.
        self.assertEqual("C0000005", self.call("Login", "GUEST", "0000")["status"].upper())
        self.assertEqual("C0050014", self.call("Login", "GUEST", "5678")["status"].upper())

    def test_the_log_holds_start_refusal_clock_failure_and_stop_in_its_layout(self):
        # Stored with the right access code, the daemon starts the server itself next time.
        self.assertEqual("00000000", self.call("SaveSetup")["status"])
        self.d.daemon.send_signal(signal.SIGTERM)
        self.assertEqual(0, self.d.daemon.wait(timeout=30))
        os.remove(os.path.join(self.d.inst, "SRVRLOG.XML"))
        self.d.daemon = subprocess.Popen(
            [os.path.join(BUILD, "service", "zelcommsrv"), "--instance", self.d.inst,
             "--no-tcp"], stderr=self.d.log)
        wait_for(lambda: self.d.zelctl("get", "Status", check=False).stdout.strip() == "16",
                 what="started by the daemon")
        self.call("Login", "CLEANER", "1111")
        # No reply comes while the clock is set, so the setting fails.
        self.d.control({"fault": "no_reply", "count": -1})
        failed = self.call("SetControllerTimeNow")
        self.d.control({"clear": "faults"})
        self.assertNotEqual("00000000", failed["status"])
        self.d.daemon.send_signal(signal.SIGTERM)
        self.assertEqual(0, self.d.daemon.wait(timeout=30))
        with open(os.path.join(self.d.inst, "SRVRLOG.XML"), "rb") as f:
            data = f.read()
        self.assertTrue(data.startswith(b"<SERVERLOG><LOGENTRY "), data[:40])
        self.assertTrue(data.endswith(b"</LOGENTRY>\r\n</SERVERLOG>"), data[-40:])
        import xml.etree.ElementTree as ET
        entries = ET.fromstring(data)
        seen = [(e.get("COMPONENT"), e.get("FEATURE"), e.findtext("DESCRIPTION"),
                 e.findtext("HRESULT")) for e in entries]
        self.assertEqual(("ZelCommSrv", "Server", "Portico Service Started.", "0x00000000"),
                         seen[0])
        self.assertIn(("ZelCommSrv", "Login", 'Client login refused for user "CLEANER"',
                       "0xc0000005"), seen)
        self.assertIn("Failed to set controller time", [s[2] for s in seen])
        self.assertEqual(("ZelCommSrv", "Server", "Portico Service Stopped.", "0x00000000"),
                         seen[-1])
        self.assertNotIn(b"1111", data)
        # One entry per line: every entry but the last is followed by CR LF.
        self.assertEqual(len(seen), data.count(b"</LOGENTRY>\r\n"))
        self.assertRegex(entries[0].findtext("DATETIME"),
                         r"^[A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4}$")



class XmlOverTheBridge(unittest.TestCase):
    """The status XML and the snapshots written into a client's callback objects, and zelctl xml."""

    @classmethod
    def setUpClass(cls):
        cls.d = DaemonFixture()
        cls.d.start()

    @classmethod
    def tearDownClass(cls):
        cls.d.close()

    def setUp(self):
        self.conn = UnixHTTPConnection(os.path.join(self.d.inst, "zelbridge.sock"))
        self.headers = {}
        self.headers["X-Zel-Session"] = self.op({"op": "session"})["session"]
        self.server = self.op({"op": "create", "class": "Corvane.ZelServer"})["result"]["object"]
        self.stream = UnixHTTPConnection(os.path.join(self.d.inst, "zelbridge.sock"))
        self.response = None

    def tearDown(self):
        self.op({"op": "close"})
        self.conn.close()
        self.stream.close()

    def op(self, body):
        self.conn.request("POST", "/api/v1/automation", headers=self.headers,
                          body=json.dumps(body))
        return json.loads(self.conn.getresponse().read())

    def written(self, count):
        """The arguments of the session's next `count` events."""
        if self.response is None:
            self.stream.request("GET", "/api/v1/events", headers=self.headers)
            self.response = self.stream.getresponse()
        out = []
        while len(out) < count:
            line = self.response.readline().decode()
            if line.startswith("data: "):
                event = json.loads(line[6:])
                out.append((event["member"], event["arguments"][0]))
        return out

    def test_status_xml_into_a_response_object(self):
        cb = self.op({"op": "callback", "name": "page", "interface": "IResponse"})
        self.assertEqual("00000000", cb["status"])
        reply = self.op({"op": "call", "object": self.server, "member": "SaveStatusXML",
                         "args": [cb["result"]]})
        self.assertEqual("00000000", reply["status"])
        pieces = []
        while not pieces or pieces[-1] != "</STATUS>":
            member, arg = self.written(1)[0]
            self.assertEqual("page", member)
            pieces.append(arg["value"])
        self.assertEqual("<STATUS>", pieces[0])
        self.assertTrue(pieces[1].startswith("<DATE>") and pieces[1].endswith("</DATE>"))
        import xml.etree.ElementTree as ET
        self.assertEqual("STATUS", ET.fromstring("".join(pieces)).tag)
        # A file name is not a destination.
        reply = self.op({"op": "call", "object": self.server, "member": "SaveStatusXML",
                         "args": ["C:/status.xml"]})
        self.assertEqual("80004001", reply["status"])

    def test_snapshots_into_a_stream_and_an_html_document(self):
        zones = self.op({"op": "get", "object": self.server, "member": "Zones"})["result"]
        stream = self.op({"op": "callback", "name": "file", "interface": "IStream"})["result"]
        reply = self.op({"op": "call", "object": zones["object"], "member": "SaveXML",
                         "args": [stream]})
        self.assertEqual("00000000", reply["status"])
        data = b""
        while not data.endswith(b"</ZONES>"):
            member, arg = self.written(1)[0]
            self.assertEqual(("file", 8209), (member, arg["vt"]))
            data += bytes(arg["value"])
        self.assertTrue(data.startswith(b'<?xml version="1.0" encoding="ISO-8859-1"?><ZONES><ZONE>'))
        import xml.etree.ElementTree as ET
        root = ET.fromstring(data)
        self.assertIn("FRONT DOOR", [z.findtext("NAME") for z in root])
        html = self.op({"op": "callback", "name": "doc", "interface": "IHTMLDocument2"})["result"]
        zone = self.op({"op": "call", "object": zones["object"], "member": "Item", "args": [1]})
        reply = self.op({"op": "call", "object": zone["result"]["object"],
                         "member": "SaveXMLSnippet", "args": [html]})
        self.assertEqual("00000000", reply["status"])
        text = ""
        while not text.endswith("</ZONE>"):
            member, arg = self.written(1)[0]
            self.assertEqual("doc", member)
            text += arg["value"]
        self.assertTrue(text.startswith("<ZONE><INDEX>1</INDEX>"), text)
        # An interface the bridge does not offer.
        self.assertEqual("C0050001", self.op({"op": "callback", "interface": "IFoo"})["status"])

    def test_zelctl_xml_of_a_collection_and_of_the_tree(self):
        run = lambda *a: subprocess.run(
            [os.path.join(BUILD, "cli", "zelctl"), "--socket",
             os.path.join(self.d.inst, "zelbridge.sock"), "xml", *a],
            capture_output=True, timeout=60)
        out = run("Zones")
        self.assertEqual(0, out.returncode, out.stderr)
        import xml.etree.ElementTree as ET
        root = ET.fromstring(out.stdout)
        self.assertEqual("ZONES", root.tag)
        self.assertIn("FRONT DOOR", [z.findtext("NAME") for z in root])
        whole = run()
        self.assertEqual(0, whole.returncode, whole.stderr)
        self.assertTrue(whole.stdout.startswith(b'<?xml version="1.0" encoding="ISO-8859-1"?>'
                                                b'<ZELSERVER><AREAS>'))
        tags = [c.tag for c in ET.fromstring(whole.stdout)]
        for tag in ("AREAS", "ZONES", "UNITS", "CODES", "EVENTS"):
            self.assertIn(tag, tags)
        self.assertEqual(2, run("Zones", "Units").returncode)


if __name__ == "__main__":
    BUILD, SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    # Further arguments pick tests by name, e.g. HeldAndCutLink.
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
