#!/usr/bin/env python3
"""The NUT data file through NUT itself: Debian's dummy-ups and upsd started
on loopback in a temporary directory (NUT_CONFPATH, NUT_STATEPATH), read with
upsc while the client logs power with named outlets; then the strip unplugged
(values withdrawn, status OFF with the reason) and the client stopped.

Usage: nut_e2e.py --binary PATH [unittest args]
"""
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import kvx_e2e
from kvx_e2e import EMPTY, HEATER, SMPS, HeadlessRun, strip

NUT = "/lib/nut"
SCENARIO = {"strips": [strip("0x1A2B3", [HEATER, SMPS, EMPTY, EMPTY], summary_ms=50)],
            "timeline": [{"atMs": 6000, "event": "unplug", "serial": "0x1A2B3"}]}


class NutTest(unittest.TestCase):
    def setUp(self):
        for tool in (NUT + "/dummy-ups", NUT + "/upsd", shutil.which("upsc") or "/nonexistent"):
            if not os.access(tool, os.X_OK):
                self.skipTest("%s is missing (packages nut-server, nut-client)" % tool)
        self.dir = tempfile.mkdtemp(prefix="kvx-nut-")
        self.addCleanup(lambda: shutil.rmtree(self.dir, ignore_errors=True))
        self.port = kvx_e2e.free_port()
        self.dev = os.path.join(self.dir, "strip.dev")
        with open(self.dev, "w") as f:
            f.write("device.type: pdu\n")
        self.write("ups.conf", '[strip]\n  driver = dummy-ups\n  port = %s\n  desc = "KVX strip"\n' % self.dev)
        self.write("upsd.conf", "LISTEN 127.0.0.1 %d\n" % self.port)
        self.write("upsd.users", "")
        self.write("nut.conf", "MODE=standalone\n")
        self.env = dict(os.environ, NUT_CONFPATH=self.dir, NUT_STATEPATH=self.dir)
        user = ["-u", "root"] if os.geteuid() == 0 else []
        for command in ([NUT + "/dummy-ups", "-a", "strip", "-F"] + user, [NUT + "/upsd", "-F"] + user):
            process = subprocess.Popen(command, env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.addCleanup(process.wait)
            self.addCleanup(process.terminate)
            time.sleep(0.5)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o600)

    def upsc(self):
        done = subprocess.run(["upsc", "strip@127.0.0.1:%d" % self.port], env=self.env, capture_output=True,
                              text=True, timeout=10)
        return dict(line.split(": ", 1) for line in done.stdout.splitlines() if ": " in line)

    def wait_for(self, condition, what):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            values = self.upsc()
            if condition(values):
                return values
            time.sleep(0.3)
        self.fail("upsc never showed %s: %s" % (what, values))

    def test_named_outlets_their_power_a_withdrawal_on_unplug_and_the_stop(self):
        run = HeadlessRun(self, ["--nut-file=" + self.dev, "--outlet-names=Heater,Power supply", "1A2B3", "1", "0",
                                 "1", "1"], scenario=SCENARIO, logs=os.path.join(self.dir, "logs"))
        live = self.wait_for(lambda v: v.get("ups.status") == "OL", "the strip online")
        self.assertEqual(live["device.type"], "pdu")
        self.assertEqual(live["device.serial"], "01A2B3")
        self.assertEqual(live["outlet.count"], "4")
        self.assertEqual((live["outlet.1.desc"], live["outlet.2.desc"], live["outlet.3.desc"]),
                         ("Heater", "Power supply", "Outlet 3"))
        self.assertAlmostEqual(float(live["outlet.1.realpower"]), 1200, delta=2)
        self.assertAlmostEqual(float(live["outlet.2.realpower"]), 180, delta=2)
        self.assertEqual(live["input.voltage"], "100")
        self.assertNotIn("outlet.1.current", live)  # power is measured; current is not made up
        gone = self.wait_for(lambda v: v.get("ups.status") == "OFF", "the unplug")
        self.assertEqual(gone["outlet.1.realpower"], "n/a")
        self.assertEqual(gone["input.voltage"], "n/a")
        self.assertIn("unplugged", gone["ups.alarm"])
        self.assertEqual(run.stop(), 0)
        with open(self.dev) as f:
            self.assertIn("ups.alarm: no readings (stopped)", f.read())


if __name__ == "__main__":
    kvx_e2e.main()
