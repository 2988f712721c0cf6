#!/usr/bin/env python3
"""The energy ledger through the real program: a 1200 W heater read in power
mode across a clean stop and a SIGKILL, with the Prometheus counter scraped
around both, then the report; and current mode, which measures nothing.

Usage: energy_e2e.py --binary PATH [--usb EMULATOR] [unittest args]
"""
import csv
import json
import os
import re
import subprocess
import tempfile
import time
import unittest
import urllib.request

import kvx_e2e
from kvx_e2e import EMPTY, HEATER, HeadlessRun, strip

SCENARIO = {"strips": [strip("0x1A2B3", [HEATER, EMPTY, EMPTY, EMPTY], summary_ms=50)]}
COUNTER = 'kvx_outlet_energy_joules_total{serial="01A2B3",outlet="1"}'


def ledger_rows(logs):
    path = os.path.join(logs, "kvx-energy-1A2B3.csv")
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def outlet_sum(rows, field, outlet="1"):
    return sum(float(r[field]) for r in rows if r["outlet"] == outlet)


class EnergyTest(unittest.TestCase):
    def setUp(self):
        self.logs = tempfile.mkdtemp(prefix="kvx-energy-")
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", self.logs]))

    def run_power(self, port, duration=None):
        return HeadlessRun(self, ["--metrics=127.0.0.1:%d" % port, "1A2B3", "1", "0", "1", "1"], scenario=SCENARIO,
                           duration=duration, logs=self.logs)

    def counter(self, port):
        text = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5).read().decode()
        match = re.search(re.escape(COUNTER) + r" (\S+)\n", text)
        return float(match.group(1)) if match else None

    def program(self, *args):
        return subprocess.run([kvx_e2e.BINARY, *args], capture_output=True, text=True, timeout=30)

    def test_power_energy_survives_a_clean_stop_and_a_kill_and_counts_nothing_twice(self):
        port = kvx_e2e.free_port()
        started = time.monotonic()
        first = self.run_power(port, duration=4)
        self.assertEqual(first.wait(), 0, first.stderr)
        self.assertIn("energy today", first.stdout)
        after_first = outlet_sum(ledger_rows(self.logs), "energy_wh")

        second = self.run_power(port)
        second.wait_for_output("energy today")
        restored = self.counter(port)
        self.assertGreaterEqual(restored, after_first * 3600)  # the counter goes on from the ledger
        # The state is saved every 30 s of readings: wait for one save, then kill.
        second.wait_until(lambda: os.path.exists(os.path.join(self.logs, "kvx-energy-1A2B3.state")) and
                          self.counter(port) > restored, "a saved hour")
        before_kill = self.counter(port)
        second.process.kill()
        second.wait()

        third = self.run_power(port, duration=3)
        third.wait_for_output("energy today")
        self.assertGreaterEqual(self.counter(port), before_kill)  # never back, not even after a kill
        self.assertEqual(third.wait(), 0, third.stderr)
        wall = time.monotonic() - started

        kvx_e2e.check_ledger_file(self, os.path.join(self.logs, "kvx-energy-1A2B3.csv"))
        rows = ledger_rows(self.logs)
        measured = outlet_sum(rows, "measured_s")
        energy = outlet_sum(rows, "energy_wh")
        # Every second measured once (less than the wall time of the three runs),
        # and the energy is the power times that time (the heater reads 1199.88 W).
        self.assertLess(measured, wall)
        self.assertGreater(measured, 4 - 2 + 30 + 3 - 2)
        self.assertAlmostEqual(energy / (1200 * measured / 3600), 1.0, delta=0.005)
        self.assertGreaterEqual(outlet_sum(rows, "gaps"), 3)  # the stop, the kill, the stop
        self.assertFalse(os.path.exists(os.path.join(self.logs, "kvx-energy-1A2B3.state")))

        report = self.program("--energy-report", "--log-dir=" + self.logs, "--format=csv", "--price=0.5")
        self.assertEqual(report.returncode, 0, report.stderr)
        total = [line for line in report.stdout.splitlines() if line.startswith("total,1A2B3,all,")]
        self.assertEqual(len(total), 1, report.stdout)
        self.assertAlmostEqual(float(total[0].split(",")[3]), energy / 1000, delta=0.0015)

    def test_current_mode_measures_nothing_and_the_report_says_so(self):
        run = HeadlessRun(self, ["1A2B3", "1", "0", "1", "0"], scenario=SCENARIO, duration=3, logs=self.logs)
        self.assertEqual(run.wait(), 0, run.stderr)
        self.assertIn("energy n/a (current)", run.stdout)
        rows = ledger_rows(self.logs)
        self.assertTrue(rows)
        self.assertEqual(outlet_sum(rows, "energy_wh"), 0.0)
        self.assertEqual(outlet_sum(rows, "measured_s"), 0.0)
        report = self.program("--energy-report=hour", "--log-dir=" + self.logs, "--serial=1A2B3", "--format=csv")
        self.assertEqual(report.returncode, 0, report.stderr)
        self.assertRegex(report.stdout, r"\ntotal,1A2B3,all,0\.000,0\.0,0,\n")

        self.assertEqual(self.program("--energy-report=week").returncode, 2)
        self.assertEqual(self.program("--from=2026-12-01").returncode, 2)
        empty = self.program("--energy-report", "--log-dir=" + self.logs, "--serial=2C4D5")
        self.assertEqual(empty.returncode, 1)
        self.assertIn("no energy ledger", empty.stderr)

    def test_outlet_names_reach_the_journal_the_ledger_the_metrics_and_the_picture_but_not_the_csv(self):
        port = kvx_e2e.free_port()
        names = "--outlet-names=Freezer, Kettle\\,big ,Desk PC"
        run = HeadlessRun(self, [names, "--metrics=127.0.0.1:%d" % port, "1A2B3", "1", "0", "1", "1"],
                          scenario=SCENARIO, logs=self.logs)
        run.wait_for_records(2)
        metrics = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=5).read().decode()
        self.assertEqual(run.stop(), 0)
        self.assertIn('kvx_outlet_info{serial="01A2B3",outlet="2",name="Kettle,big"} 1', metrics)
        self.assertNotIn('outlet="4",name=', metrics)
        journal = [json.loads(line) for line in open(os.path.join(self.logs, "kvx-events.jsonl"))]
        started = [e for e in journal if e["event"] == "connection_started"]
        self.assertEqual(started[0]["outlet_names"], ["Freezer", "Kettle,big", "Desk PC", ""])
        self.assertEqual({r["outlet"]: r["name"] for r in ledger_rows(self.logs)},
                         {"1": "Freezer", "2": "Kettle,big", "3": "Desk PC", "4": ""})
        self.assertTrue(run.files())
        for name in run.files():
            self.assertNotIn(b"Freezer", run.read(name))
        svg = os.path.join(self.logs, "named.svg")
        self.assertEqual(self.program("--render=" + svg, "--log-dir=" + self.logs).returncode, 0)
        with open(svg) as f:
            self.assertIn("Freezer", f.read())  # the legend, from the journal
        for bad in ("--outlet-names=a,b,c,d,e", "--outlet-names=\x01", "--outlet-names=" + "x" * 41):
            refused = self.program(bad, "--headless", "--duration=1")
            self.assertEqual(refused.returncode, 2, bad)
            self.assertIn("--outlet-names", refused.stderr)


if __name__ == "__main__":
    kvx_e2e.main()
