#!/usr/bin/env python3
"""End-to-end runs of the program's choice of backend: --driver=NAME, the
options each backend owns, and the mistakes that stop the program with exit
status 2 before anything is polled or logged.

Usage: backend_e2e.py --binary PATH [unittest args]
"""
import os
import subprocess
import tempfile
import unittest

import kvx_e2e
from kvx_e2e import HeadlessRun


class BackendChoiceTest(unittest.TestCase):
    def refused(self, args, reason):
        run = HeadlessRun(self, args, duration=5)
        self.assertEqual(run.wait(), 2, run.stderr)
        self.assertIn(reason, run.stderr)
        self.assertEqual(run.files(), [])
        self.assertNotIn("Polling", run.stdout)

    def refused_over_usb(self, args, reason):
        """As refused(), without the simulator's --trace that HeadlessRun adds."""
        logs = tempfile.mkdtemp(prefix="kvx-e2e-usb-")
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", logs]))
        result = subprocess.run([kvx_e2e.BINARY, "--headless", "--log-dir=" + logs, "--driver=usb"] + args +
                                ["1A2B3", "0", "1", "1", "0"], capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn(reason, result.stderr)
        self.assertEqual(os.listdir(logs), [])
        self.assertNotIn("Waiting", result.stdout)

    def test_an_unknown_driver_exits_with_status_2_and_names_the_known_ones(self):
        self.refused(["--driver=nosuch"], "kvxclient: unknown driver 'nosuch' (known: sim, usb)")
        # Without --headless too: the backend is chosen before any window would open.
        for args in (["--driver=nosuch"], ["--driver=sim", "--usb-id=1:2"]):
            result = subprocess.run([kvx_e2e.BINARY] + args, capture_output=True, text=True, timeout=30,
                                    env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
            self.assertEqual(result.returncode, 2, result.stderr)
            self.assertIn("kvxclient: ", result.stderr)

    def test_an_option_of_another_backend_exits_with_status_2_and_says_whose_it_is(self):
        self.refused(["--driver=sim", "--usb-id=1:2"], "kvxclient: --usb-id belongs to --driver=usb, not --driver=sim\n")
        self.refused(["--usb-endpoint=0x81"], "--usb-endpoint belongs to --driver=usb")
        self.refused_over_usb(["--usb-id=1:2", "--scenario=x.json"],
                              "kvxclient: --scenario belongs to --driver=sim, not --driver=usb\n")

    def test_usb_without_an_id_or_with_a_malformed_value_exits_with_status_2(self):
        self.refused_over_usb([], "kvxclient: --driver=usb needs the strips' USB IDs: --usb-id=VID:PID"
                                  " (repeatable; lsusb shows them)\n")
        self.refused_over_usb(["--usb-id=1209-0001"],
                              "kvxclient: --usb-id=1209-0001: expected VID:PID, two hexadecimal numbers of up to"
                              " 4 digits as lsusb shows them (e.g. --usb-id=1209:0001)\n")
        self.refused_over_usb(["--usb-id=1:2", "--usb-endpoint=0x02"],
                              "kvxclient: --usb-endpoint=0x02: expected the address of an IN endpoint in hex, 0x81 to 0x8F")
        self.refused_over_usb(["--usb-id=1:2", "--unlock-code=xyz"], "kvxclient: --unlock-code=xyz: expected WORD1:WORD2")

    def test_a_scenario_that_cannot_be_used_exits_with_status_2(self):
        self.refused(["--scenario=/nonexistent/kvx.json"], "cannot use scenario /nonexistent/kvx.json")

    def test_sim_chosen_by_name_runs_the_scenario_like_the_default(self):
        scenario = {"strips": [kvx_e2e.strip("0x00345", [kvx_e2e.HEATER, kvx_e2e.EMPTY, kvx_e2e.EMPTY, kvx_e2e.EMPTY])]}
        run = HeadlessRun(self, ["--driver=sim", "345", "0", "1", "1", "0"], scenario=scenario, duration=1.5)
        self.assertEqual(run.wait(), 0, run.stderr)
        self.assertIn("Polling S/N=00345.", run.stdout)
        self.assertTrue(run.summary_readings())  # the trace option reached the simulated driver
        self.assertEqual(len(run.files()), 1)

    def test_help_lists_the_backends_and_the_simulators_options(self):
        result = subprocess.run([kvx_e2e.BINARY, "--help"], capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 0)
        for line in ["  --driver=NAME      where the strips are reached (default: sim)",
                     "    --scenario=FILE  ", "  --trace=FILE       write every request",
                     "  usb                real strips over USB", "    --usb-id=VID:PID ",
                     "    --usb-fallback-id=VID:PID\n", "    --usb-endpoint=ADDR\n", "    --unlock-code=W1:W2\n"]:
            self.assertIn(line, result.stdout)
        self.assertNotIn("not built", result.stdout)


if __name__ == "__main__":
    kvx_e2e.main()
