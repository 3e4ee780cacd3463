#!/usr/bin/env python3
"""Black-box tests of the daemon in service mode: a notification socket of the test's own stands
in for systemd's (NOTIFY_SOCKET, WATCHDOG_USEC), so READY, the watchdog's keep-alives and
STOPPING are seen in order, with the system-log reports on standard error (no journal here).

Run: service_e2e_test.py BUILD_DIR SOURCE_DIR
"""
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

import daemon_e2e_test as base


class Notifications:
    """A datagram socket that collects sd_notify messages in arrival order."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "notify.sock")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        self.sock.settimeout(0.05)
        self.messages = []

    def pump(self):
        try:
            while True:
                data = self.sock.recv(4096).decode()
                self.messages.extend(line for line in data.split("\n") if line)
        except socket.timeout:
            pass

    def wait_for(self, predicate, what, timeout=20.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.pump()
            if predicate(self.messages):
                return
        raise AssertionError(f"timed out waiting for {what}; got {self.messages}")

    def close(self):
        self.sock.close()


def daemon_env(notify=None, watchdog_usec=None):
    env = {k: v for k, v in os.environ.items()
           if k not in ("NOTIFY_SOCKET", "INVOCATION_ID", "WATCHDOG_USEC", "WATCHDOG_PID")}
    if notify:
        env["NOTIFY_SOCKET"] = notify
    if watchdog_usec:
        env["WATCHDOG_USEC"] = str(watchdog_usec)
    return env


class ServiceMode(unittest.TestCase):
    def setUp(self):
        self.d = base.DaemonFixture()
        self.stderr_path = os.path.join(self.d.inst, "service.err")

    def tearDown(self):
        self.d.close()

    def replace_daemon(self, env, *args):
        """Stops the fixture's daemon and starts one that calls Start at launch."""
        if self.d.daemon.poll() is None:
            self.d.daemon.send_signal(signal.SIGTERM)
            self.assertEqual(0, self.d.daemon.wait(timeout=30))
        err = open(self.stderr_path, "w")
        self.d.daemon = subprocess.Popen(
            [os.path.join(base.BUILD, "service", "zelcommsrv"), "--instance", self.d.inst,
             "--no-tcp", *args], stderr=err, env=env)
        err.close()

    def stderr_text(self):
        with open(self.stderr_path) as f:
            return f.read()

    def store_working_setup(self):
        self.d.start()
        self.d.zelctl("call", "SaveSetup")

    def test_ready_watchdog_stopping_in_order_with_the_success_reports(self):
        self.store_working_setup()
        notes = Notifications(self.d.inst)
        try:
            self.replace_daemon(daemon_env(notes.path, 200000))
            notes.wait_for(lambda m: m.count("WATCHDOG=1") >= 3, "three keep-alives")
            base.wait_for(lambda: self.d.zelctl("status", check=False).returncode == 0,
                          what="bridge")
            base.wait_for(lambda: self.d.value("Status") == 16, what="ssInteractive")
            self.d.daemon.send_signal(signal.SIGTERM)
            self.assertEqual(0, self.d.daemon.wait(timeout=30))
            notes.pump()
            seen = [m for m in notes.messages if not m.startswith("STATUS=")]
            self.assertEqual("READY=1", seen[0], seen)
            self.assertEqual("STOPPING=1", seen[-1], seen)
            self.assertTrue(all(m == "WATCHDOG=1" for m in seen[1:-1]), seen)
            self.assertIn("STATUS=The server started.", notes.messages)
        finally:
            notes.close()
        err = self.stderr_text()
        self.assertIn("info 0x00020064:", err)
        self.assertIn("info 0x00020065:", err)
        self.assertLess(err.index("0x00020064"), err.index("0x00020065"))

    def test_a_foreground_run_writes_no_success_reports(self):
        self.store_working_setup()
        self.replace_daemon(daemon_env())
        base.wait_for(lambda: "server started" in self.stderr_text(), what="the start")
        self.d.daemon.send_signal(signal.SIGTERM)
        self.assertEqual(0, self.d.daemon.wait(timeout=30))
        err = self.stderr_text()
        self.assertNotIn("0x00020064", err)
        self.assertNotIn("0x00020065", err)

    def test_a_stop_after_a_failed_start_ends_with_0(self):
        # No access code stored: the start is refused, the error reported, the process stays.
        notes = Notifications(self.d.inst)
        try:
            self.replace_daemon(daemon_env(notes.path))
            base.wait_for(lambda: "0xC0020066" in self.stderr_text(), what="the failed start")
            notes.wait_for(lambda m: "READY=1" in m, "READY")
            self.assertIsNone(self.d.daemon.poll())
            self.d.daemon.send_signal(signal.SIGTERM)
            self.assertEqual(0, self.d.daemon.wait(timeout=30))
            notes.wait_for(lambda m: "STOPPING=1" in m, "STOPPING")
            self.assertNotIn("WATCHDOG=1", notes.messages)  # no WATCHDOG_USEC, no keep-alives
        finally:
            notes.close()
        self.assertNotIn("0x00020064", self.stderr_text())


class Registration(unittest.TestCase):
    """-RegServer and -UnregServer of the real program into a scratch root, each run twice."""

    def setUp(self):
        if not shutil.which("systemd-sysusers"):
            self.skipTest("systemd-sysusers is not installed")
        self.root = tempfile.mkdtemp(prefix="zel-root-")

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def run_switch(self, *args, env_root=False):
        env = daemon_env()
        argv = [os.path.join(base.BUILD, "service", "zelcommsrv")]
        if env_root:
            env["ZELCOMMSRV_ROOT"] = self.root
        else:
            argv += ["--root", self.root]
        return subprocess.run(argv + list(args), capture_output=True, text=True, env=env,
                              timeout=60)

    def snapshot(self):
        files = {}
        for folder, _, names in os.walk(self.root):
            for name in names:
                path = os.path.join(folder, name)
                if name.endswith(".lock"):
                    continue
                with open(path, "rb") as f:
                    files[os.path.relpath(path, self.root)] = f.read()
        return files

    def test_register_twice_then_unregister_twice(self):
        first = self.run_switch("-RegServer")
        self.assertEqual(0, first.returncode, first.stderr)
        after_one = self.snapshot()
        for name in ("etc/systemd/system/zelcommsrv.service", "etc/passwd", "etc/group",
                     "var/lib/zelcommsrv/registry.json"):
            self.assertIn(name, after_one)
        self.assertIn(b"zelcommsrv:", after_one["etc/passwd"])
        # The environment variable chooses the root as well; the switch in another spelling.
        second = self.run_switch("/regserver", env_root=True)
        self.assertEqual(0, second.returncode, second.stderr)
        self.assertEqual(after_one, self.snapshot())

        gone = self.run_switch("--UNREGSERVER")
        self.assertEqual(0, gone.returncode, gone.stderr)
        after_unregister = self.snapshot()
        self.assertNotIn("etc/systemd/system/zelcommsrv.service", after_unregister)
        registry = json.loads(after_unregister["var/lib/zelcommsrv/registry.json"])
        portico = registry["keys"]["SOFTWARE"]["keys"]["Tamsen"]["keys"]["Portico"]["keys"]
        self.assertEqual({}, portico["Comm Handlers"].get("keys", {}))
        classes = registry["keys"]["SOFTWARE"]["keys"]["Classes"]["keys"]
        self.assertEqual({}, classes["AppID"].get("keys", {}))
        self.assertEqual({}, classes["CLSID"].get("keys", {}))
        self.assertNotIn("Corvane.ZelServer", classes)
        again = self.run_switch("-UnregServer")
        self.assertEqual(0, again.returncode, again.stderr)
        self.assertEqual(after_unregister, self.snapshot())

    def test_a_further_word_is_a_normal_start_not_a_registration(self):
        # "-RegServer now" matches no switch; --no-socket and a bad instance keep the start short.
        inst = os.path.join(self.root, "inst")
        out = subprocess.run(
            [os.path.join(base.BUILD, "service", "zelcommsrv"), "--instance", inst, "-RegServer",
             "now"], capture_output=True, text=True, env=daemon_env(), timeout=60)
        self.assertNotEqual(0, out.returncode)  # no text catalogue in the new instance
        self.assertIn("text catalogue", out.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.root, "etc")))


if __name__ == "__main__":
    base.BUILD, base.SOURCE = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    unittest.main(argv=[sys.argv[0], "-v", *sys.argv[3:]])
