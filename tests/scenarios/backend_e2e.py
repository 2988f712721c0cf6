#!/usr/bin/env python3
"""End-to-end runs of the program's choice of backend: --driver=NAME, the
options each backend owns, and the mistakes that stop the program with exit
status 2 before anything is polled or logged.

Usage: backend_e2e.py --binary PATH [unittest args]
"""
import os
import subprocess
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

    def test_an_unknown_driver_exits_with_status_2_and_names_the_known_ones(self):
        self.refused(["--driver=nosuch"], "kvxclient: unknown driver 'nosuch' (known: sim, usb)")
        # Without --headless too: the backend is chosen before any window would open.
        for args in (["--driver=nosuch"], ["--driver=sim", "--usb-id=1:2"]):
            result = subprocess.run([kvx_e2e.BINARY] + args, capture_output=True, text=True, timeout=30,
                                    env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
            self.assertEqual(result.returncode, 2, result.stderr)
            self.assertIn("kvxclient: ", result.stderr)

    def test_an_option_of_another_backend_exits_with_status_2_and_says_whose_it_is(self):
        self.refused(["--driver=sim", "--usb-id=1:2"],
                     "--usb-id belongs to --driver=usb, not --driver=sim (the usb backend is not built in this version)")
        self.refused(["--usb-endpoint=0x81"], "--usb-endpoint belongs to --driver=usb")

    def test_the_usb_backend_is_not_built_in_this_version(self):
        self.refused(["--driver=usb", "--usb-id=1:2"], "the usb backend is not built in this version")

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
                     "    --scenario=FILE  ", "    --trace=FILE     ",
                     "  usb                real strips over USB: not built in this version"]:
            self.assertIn(line, result.stdout)


if __name__ == "__main__":
    kvx_e2e.main()
