#!/usr/bin/env python3
"""Black-box tests of the bridge's front door as two Unix users: root runs the simulator and the
daemon; an unprivileged user made for the test (and removed after it) tries the socket and TCP
with a token of each role. Needs root (useradd, runuser), as CI runs.

Run: front_door_e2e_test.py BUILD_DIR SOURCE_DIR
"""
import http.client
import json
import os
import pwd
import signal
import socket
import stat
import subprocess
import sys
import time
import unittest

import daemon_e2e_test as e2e

USER = f"zel-e2e-{os.getpid()}"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def setUpModule():
    if os.geteuid() != 0:
        raise RuntimeError("these tests create a Unix user and must run as root")
    subprocess.run(["useradd", "--system", "--no-create-home", "--shell", "/usr/sbin/nologin",
                    USER], check=True, capture_output=True)


def tearDownModule():
    subprocess.run(["userdel", USER], capture_output=True)


class FrontDoor(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.port = free_port()
        cls.d = e2e.DaemonFixture(extra_args=["--tcp", "--port", str(cls.port)],
                                  before_start=cls.prepare)
        cls.d.start()
        cls.tokens = {}
        for role in ("read", "control", "admin"):
            out = cls.d.zelctl("--instance", cls.d.inst, "token", "add", "e2e-" + role, role)
            cls.tokens[role] = out.stdout.strip()

    @staticmethod
    def prepare(inst):
        # A policy left world-readable: the daemon tightens it at start.
        path = os.path.join(inst, "access.json")
        with open(path, "w") as f:
            f.write("{}\n")
        os.chmod(path, 0o644)

    @classmethod
    def tearDownClass(cls):
        cls.d.close()

    def other_user(self, *args, token=None):
        """zelctl run as the unprivileged user; returns the completed process."""
        cmd = ["runuser", "-u", USER, "--", os.path.join(e2e.BUILD, "cli", "zelctl")]
        if token is not None:
            cmd += ["--port", str(self.port), "--token", token]
        else:
            cmd += ["--socket", os.path.join(self.d.inst, "zelbridge.sock")]
        return subprocess.run(cmd + list(args), capture_output=True, text=True, timeout=60)

    def post(self, headers, body='{"op":"session"}'):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request("POST", "/api/v1/automation", body=body, headers=headers)
        r = conn.getresponse()
        data = r.read()
        conn.close()
        return r.status, json.loads(data)

    def test_the_unprivileged_user_is_refused_on_the_socket(self):
        out = self.other_user("get", "Status")
        self.assertEqual(3, out.returncode, out.stdout + out.stderr)

    def test_tcp_without_a_token_gets_nothing(self):
        out = self.other_user("get", "Status", token="")
        self.assertEqual(1, out.returncode)
        self.assertIn("C005000D", out.stderr.upper())
        out = self.other_user("get", "Status", token="zel_" + "0" * 64)
        self.assertIn("C005000E", out.stderr.upper())

    def test_each_role_does_what_it_covers_and_no_more(self):
        read, control, admin = (self.tokens[r] for r in ("read", "control", "admin"))
        # read: zones yes, arming no.
        out = self.other_user("get", "Zones.Item(1).Name", token=read)
        self.assertEqual(0, out.returncode, out.stderr)
        out = self.other_user("call", "Areas.Item(1).Arm", "1234", "3", token=read)
        self.assertEqual(1, out.returncode)
        self.assertIn("80070005", out.stderr)
        # control: arms with the right code, but reads no codes.
        out = self.other_user("call", "Areas.Item(1).Arm", "1234", "3", token=control)
        self.assertEqual(0, out.returncode, out.stderr)
        for path in ("AccessCode", "SystemParametersInfo(3)", "SystemParametersInfo(65539)"):
            out = self.other_user("get", path, token=control)
            self.assertIn("80070005", out.stderr, path)
        # admin: the codes.
        out = self.other_user("get", "SystemParametersInfo(3)", token=admin)
        self.assertEqual("1234", out.stdout.strip(), out.stderr)
        out = self.other_user("get", "AccessCode", token=admin)
        self.assertEqual("1234", out.stdout.strip(), out.stderr)
        # Connect and Disconnect are admin's.
        out = self.other_user("call", "CommunicationsHandler.Disconnect", token=control)
        self.assertIn("80070005", out.stderr)

    def test_wrong_codes_slow_the_caller_down(self):
        control = self.tokens["control"]
        out = self.other_user("call", "Zones.Item(2).Bypass", "9876", token=control)
        self.assertIn("C0000005", out.stderr.upper())
        # Straight after: refused without being tried, even with the right code.
        refused_at = time.monotonic()
        out = self.other_user("call", "Zones.Item(2).Bypass", "1234", token=control)
        self.assertIn("C0050014", out.stderr.upper())
        # Once the back-off (1 s after the first wrong code) has run out, the right code works;
        # calls refused meanwhile are not tried and do not lengthen it.
        deadline = time.monotonic() + 20
        while True:
            out = self.other_user("call", "Zones.Item(2).Restore", "1234", token=control)
            if "C0050014" not in out.stderr.upper() or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual(0, out.returncode, out.stderr)
        self.assertGreater(time.monotonic() - refused_at, 0.5)

    def test_browsers_pages_cannot_use_it(self):
        bearer = {"Authorization": "Bearer " + self.tokens["admin"]}
        status, body = self.post({**bearer, "Host": "attacker.example"})
        self.assertEqual((403, "C005000F"), (status, body["status"]))
        status, body = self.post({**bearer, "Host": f"127.0.0.1:{self.port}",
                                  "Origin": "http://attacker.example"})
        self.assertEqual((403, "C0050010"), (status, body["status"]))
        # Without the token a page gets nothing either.
        status, body = self.post({"Host": f"127.0.0.1:{self.port}"})
        self.assertEqual((401, "C005000D"), (status, body["status"]))

    def exchange(self, path, headers, body):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        conn.request("POST", path, body=json.dumps(body), headers=headers)
        r = conn.getresponse()
        data = json.loads(r.read())
        conn.close()
        return r.status, r.getheader("Set-Cookie"), data

    def test_a_login_cookie_is_the_tcp_credential_of_a_page(self):
        site = {"Host": f"127.0.0.1:{self.port}", "Origin": f"http://127.0.0.1:{self.port}"}
        status, set_cookie, body = self.exchange(
            "/api/v1/login", site, {"user": "owner", "code": "1234"})
        self.assertEqual((200, "00000000", "control"), (status, body["status"], body["role"]))
        self.assertRegex(set_cookie,
                         r"^zelsession=\{[0-9A-F-]{36}\}; Path=/; HttpOnly; SameSite=Strict$")
        cookie = body["cookie"]
        page = {**site, "Cookie": "zelsession=" + cookie}

        def op(headers, request, session=None):
            extra = {"X-Zel-Session": session} if session else {}
            return self.exchange("/api/v1/automation", {**headers, **extra}, request)

        status, _, body = op(page, {"op": "session"})
        self.assertEqual(200, status, body)
        session = body["session"]
        _, _, body = op(page, {"op": "create", "class": "Corvane.ZelServer"}, session)
        server = body["result"]["object"]
        _, _, body = op(page, {"op": "get", "object": server, "member": "Status"}, session)
        self.assertEqual(16, body["result"]["value"])
        # Control, not admin: the access code stays out of reach.
        status, _, body = op(page, {"op": "get", "object": server, "member": "AccessCode"},
                             session)
        self.assertEqual((403, "80070005"), (status, body["status"]))
        # A foreign page holding the cookie is still turned away.
        status, _, body = op({**page, "Host": "attacker.example"}, {"op": "session"})
        self.assertEqual((403, "C005000F"), (status, body["status"]))

        # The cookie of a login made through the server's Login member works the same.
        out = self.d.zelctl("--json", "call", "Login", "guest", "5678")
        guest = json.loads(out.stdout)["result"]["value"]
        status, _, body = op({**site, "Cookie": "zelsession=" + guest}, {"op": "session"})
        self.assertEqual((200, "00000000"), (status, body["status"]))
        self.d.zelctl("call", "Logout", guest)
        status, _, body = op({**site, "Cookie": "zelsession=" + guest}, {"op": "session"})
        self.assertEqual((401, "C0050017"), (status, body["status"]))

        # Logout ends the session, clears the cookie, and the cookie is no credential after it.
        status, set_cookie, body = self.exchange("/api/v1/logout", page, {})
        self.assertEqual((200, "00000000"), (status, body["status"]))
        self.assertIn("Max-Age=0", set_cookie)
        status, _, body = op(page, {"op": "get", "object": server, "member": "Status"}, session)
        self.assertEqual((401, "C0050017"), (status, body["status"]))

    def test_the_network_key_is_admin_only_and_never_echoed(self):
        read, control, admin = (self.tokens[r] for r in ("read", "control", "admin"))
        key = 'CommHandlers.Item("Network (UDP)").PrivateKey'
        for token in (read, control):
            out = self.other_user("get", key, token=token)
            self.assertIn("80070005", out.stderr)
            out = self.other_user("put", key, "00-11-22-33-44-55-66-77-88-99-AA-BB-CC-DD-EE-FF",
                                  token=token)
            self.assertIn("80070005", out.stderr)
        out = self.other_user("get", key, token=admin)
        self.assertEqual(0, out.returncode, out.stderr)
        before = out.stdout.strip()
        self.assertEqual(47, len(before))
        # A malformed key is refused, its text is in no answer, and the old key stays.
        out = self.other_user("put", key, "SECRETISH-KEY-TEXT", token=admin)
        self.assertIn("80004005", out.stderr)
        self.assertNotIn("SECRETISH", out.stdout + out.stderr)
        self.assertEqual(before, self.other_user("get", key, token=admin).stdout.strip())

    def test_the_request_lock_is_not_lent_and_the_files_are_private(self):
        admin = self.tokens["admin"]
        for member in ("BeginAtomicRequest", "EndAtomicRequest"):
            out = self.other_user("call", "CommunicationsHandler." + member, token=admin)
            self.assertIn("80070005", out.stderr, member)
        # The link still works for everyone after the attempts.
        self.assertEqual(16, self.d.value("Status"))
        for name in ("ZELINFO.DAT", "access.json", "tokens.json"):
            mode = stat.S_IMODE(os.stat(os.path.join(self.d.inst, name)).st_mode)
            self.assertEqual(0o600, mode, name)
        # The system-log line lands in the daemon's stderr when there is no journal or syslog.
        if not any(os.path.exists(p) for p in ("/run/systemd/journal/socket", "/dev/log")):
            with open(os.path.join(self.d.inst, "server.log")) as f:
                self.assertIn("access.json: 0644 -> 0600", f.read())


class StopEndsTheDaemon(unittest.TestCase):
    def test_sigterm_after_lock_attempts_ends_the_daemon_promptly(self):
        d = e2e.DaemonFixture()
        try:
            d.start()
            d.zelctl("call", "CommunicationsHandler.BeginAtomicRequest", check=False)
            started = time.monotonic()
            d.daemon.send_signal(signal.SIGTERM)
            self.assertEqual(0, d.daemon.wait(timeout=35))
            self.assertLess(time.monotonic() - started, 35)
        finally:
            d.close()


if __name__ == "__main__":
    e2e.BUILD, e2e.SOURCE = sys.argv[1], sys.argv[2]
    del sys.argv[1:3]
    unittest.main(verbosity=2)
