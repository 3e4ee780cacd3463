#!/usr/bin/env python3
"""Black-box tests of `zelctl setup`: the first-run configuration against the daemon and the
simulator, on the serial link (a pseudo-terminal behind the catalogue's device prefix) and on
UDP, with the steps it reports and the hints at the step that failed.

Run: setup_e2e_test.py BUILD_DIR SOURCE_DIR
"""
import json
import os
import subprocess
import sys
import unittest

import daemon_e2e_test as e2e


def setup(d, *args, socket=None):
    """Runs zelctl --json setup ARGS against the fixture's daemon; (exit status, report, stderr)."""
    out = subprocess.run(
        [os.path.join(e2e.BUILD, "cli", "zelctl"), "--socket",
         socket or os.path.join(d.inst, "zelbridge.sock"), "--json", "setup", *args],
        capture_output=True, text=True, timeout=120)
    report = json.loads(out.stdout) if out.stdout.strip() else None
    return out.returncode, report, out.stderr


def states(report):
    return [(s["step"], s["state"]) for s in report["steps"]]


ALL_OK = [("link opened", "ok"), ("controller answered", "ok"), ("login accepted", "ok"),
          ("model and firmware", "ok"), ("setup", "ok"), ("names", "ok")]


class SerialSetup(unittest.TestCase):
    def setUp(self):
        self.d = e2e.DaemonFixture()

    def tearDown(self):
        self.d.close()

    def test_a_device_path_behind_the_prefix_is_set_up_saved_and_used_after_a_restart(self):
        # The pseudo-terminal's own path: found through the prefixed link ttyS1 to it.
        device = os.path.realpath(os.path.join(self.d.inst, "ttyS1"))
        self.assertNotEqual(device, os.path.join(self.d.inst, "ttyS1"))
        rc, report, err = setup(self.d, "serial", "--device", device, "--code", "1234")
        self.assertEqual(0, rc, err)
        self.assertEqual(1, report["port"])
        self.assertEqual(ALL_OK, states(report))
        self.assertIn("firmware", report["steps"][3]["detail"])
        self.assertTrue(report["saved"])
        self.assertEqual("ssInteractive", report["status"])
        self.assertEqual(9600, self.d.value("CommunicationsHandler.BaudRate"))
        # The login frame carried the code's digits.
        self.assertTrue(any("5A 05 20 01 02 03 04" in line for line in self.d.frame_lines()),
                        self.d.frame_lines()[:5])

        # A restarted daemon starts from what setup saved: transport, port and code.
        self.d.restart_daemon()
        self.d.zelctl("call", "Start")
        self.assertEqual(16, self.d.value("Status"))
        self.assertEqual(1, self.d.value("CommunicationsHandler.Port"))

    def test_a_refused_code_stops_at_the_login_and_keeps_the_saved_settings(self):
        rc, report, _ = setup(self.d, "serial", "--device",
                              os.path.join(self.d.inst, "ttyS1"), "--code", "9999")
        self.assertEqual(1, rc)
        self.assertEqual([("link opened", "ok"), ("controller answered", "ok"),
                          ("login accepted", "failed")], states(report))
        self.assertIn("code refused", report["hint"])
        self.assertEqual("E_SRV_LOGIN_FAILED", report["statusCode"])
        self.assertFalse(report["saved"])

    def test_a_missing_device_stops_at_the_link_with_its_hint(self):
        rc, report, _ = setup(self.d, "serial", "--device",
                              os.path.join(self.d.inst, "ttyS7"), "--code", "1234")
        self.assertEqual(1, rc)
        self.assertEqual([("link opened", "failed")], states(report))
        self.assertIn("device missing", report["hint"])

    def test_a_device_outside_the_prefix_gets_the_one_line_change(self):
        rc, report, err = setup(self.d, "serial", "--device", "/dev/null", "--code", "1234")
        self.assertEqual(2, rc)
        self.assertIn('"185 = /dev/null"', err)
        self.assertIn("ln -s /dev/null " + os.path.join(self.d.inst, "ttyS9"), err)
        self.assertFalse(report["ok"])
        # Nothing reached the controller.
        self.assertEqual([], self.d.frame_lines())

    def test_an_unreachable_bridge_is_exit_status_3(self):
        rc, _, err = setup(self.d, "serial", "--device", os.path.join(self.d.inst, "ttyS1"),
                           "--code", "1234",
                           socket=os.path.join(self.d.inst, "no.sock"))
        self.assertEqual(3, rc)
        self.assertIn("is zelcommsrv running", err)


class NetworkSetup(unittest.TestCase):
    def setUp(self):
        self.d = e2e.DaemonFixture()
        self.udp = subprocess.Popen(
            [os.path.join(e2e.BUILD, "sim", "zelsim"), "--scenario",
             os.path.join(e2e.SOURCE, "sim", "scenarios", "house.json"),
             "--link", os.path.join(self.d.inst, "udp-tty"), "--udp", "0"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.udp.stdout.readline()  # the terminal line
        self.port = self.udp.stdout.readline().strip().rsplit(":", 1)[1]

    def tearDown(self):
        self.udp.terminate()
        self.udp.wait(timeout=30)
        self.udp.stdout.close()
        self.d.close()

    def test_the_network_transport_is_chosen_and_reaches_interactive(self):
        # The simulator's key (the transport's default too), given in full as a user would.
        rc, report, err = setup(self.d, "network", "--address", "127.0.0.1", "--port", self.port,
                                "--key", "3C-91-0E-A7-52-D8-1B-66-F4-29-8D-C3-07-BE-45-7A",
                                "--code", "1234")
        self.assertEqual(0, rc, (report, err))
        self.assertEqual(ALL_OK, states(report))
        self.assertEqual("127.0.0.1:%s (UDP)" % self.port, report["steps"][0]["detail"])
        self.assertEqual(int(self.port), self.d.value("CommunicationsHandler.Port"))
        self.assertEqual(16, self.d.value("Status"))


if __name__ == "__main__":
    e2e.BUILD, e2e.SOURCE = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
