#!/usr/bin/env python3
"""End-to-end runs of `kvxclient --headless` against the simulated strips.

Each test starts the real program with a five-value command line, lets it log,
stops it, and reads back what it wrote: the CSV files (with Python's csv
module, as spreadsheets and scripts will) and the simulated driver's request
trace, which holds every reading the strip sent.

Usage: headless_e2e.py --binary PATH [unittest args]
"""
import csv
import os
import time
import unittest

import kvx_e2e
from kvx_e2e import NAME, EMPTY, HEATER, SMPS, HeadlessRun, check_whole_file, strip

class HeadlessLoggingTest(unittest.TestCase):
    def check_file(self, run, name, serial, unit):
        m = NAME.match(name)
        self.assertIsNotNone(m, name)
        self.assertEqual(m.group(1), "%05X" % serial)
        self.assertEqual(m.group(2), unit)
        content = run.read(name)
        self.assertRegex(content.splitlines(keepends=True)[4].decode(), r"^,%06X,V\d\.\dL[0-9A-F]{2},,,,\r\n$" % serial)
        return check_whole_file(self, content, unit)

    def test_five_values_log_current_at_the_record_interval(self):
        run = HeadlessRun(self, ["1A2B3", "1", "3600", "1", "0"])
        run.wait_for_records(3)
        self.assertEqual(run.stop(), 0, run.stderr)
        files = run.files()
        self.assertEqual(len(files), 1, files)
        records = self.check_file(run, files[0], 0x1A2B3, "A")
        self.assertGreaterEqual(len(records), 3)
        # One record per second: the time stamps advance by one or two seconds.
        stamps = [time.mktime(time.strptime(r[:19].decode(), "%Y/%m/%d %H:%M:%S")) for r in records]
        for earlier, later in zip(stamps, stamps[1:]):
            self.assertIn(later - earlier, (1, 2))

        sent = {r[3] for r in run.summary_readings() if r[0] == 0x1A2B3 and r[2] == 0x30}
        volts = {reply[0] for reply in run.replies(0xB0)}
        hertz = {"%.2f" % (1000000.0 / (int.from_bytes(reply[:2], "little") * 0.5)) for reply in run.replies(0xA1)}
        celsius = {"%.2f" % (int.from_bytes(reply[:2], "little") / 100.0) for reply in run.replies(0xB4)}
        with open(os.path.join(run.logs, files[0]), newline="") as f:
            rows = list(csv.reader(f))[6:]
        self.assertEqual(len(rows), len(records))
        for row in rows:
            self.assertEqual(row[1], "on")
            self.assertIn(tuple(int(v) for v in row[2:6]), sent)
            self.assertIn(int(row[6]), volts)
            self.assertIn(row[7], hertz)
            self.assertIn(row[8], celsius)

    def test_power_values_are_divided_and_written_four_wide(self):
        run = HeadlessRun(self, ["1A2B3", "1", "3600", "1", "1"])
        run.wait_for_records(2)
        self.assertEqual(run.stop(), 0, run.stderr)
        files = run.files()
        self.assertEqual(len(files), 1, files)
        self.check_file(run, files[0], 0x1A2B3, "W")
        sent = {tuple(round(v / 1.0001) for v in r[3]) for r in run.summary_readings() if r[2] == 0x10}
        with open(os.path.join(run.logs, files[0]), newline="") as f:
            rows = list(csv.reader(f))[6:]
        self.assertGreater(len(rows), 0)
        for row in rows:
            self.assertIn(tuple(int(v) for v in row[2:6]), sent)

    def test_sigterm_while_logging_every_reading_leaves_whole_lines(self):
        scenario = {"strips": [strip(0x1A2B3, [HEATER, SMPS, EMPTY, HEATER], summary_ms=2)]}
        run = HeadlessRun(self, ["1A2B3", "0", "0", "2", "0"], scenario=scenario)
        run.wait_for_records(20)
        self.assertEqual(run.stop(), 0, run.stderr)
        self.assertIn("Stopping on SIGTERM", run.stdout)
        files = run.files()
        self.assertGreater(len(files), 1)  # split interval 0: a file per record
        total = 0
        for name in files:
            content = run.read(name)
            self.assertTrue(content.endswith(b"\r\n"), name)
            total += len(self.check_file(run, name, 0x1A2B3, "A"))
        self.assertGreater(total, 10)

    def test_unplugged_strip_is_followed_and_logging_resumes_in_a_new_file(self):
        scenario = {
            "strips": [strip(0x1A2B3, [HEATER, SMPS, EMPTY, EMPTY]), strip(0x2C4D5, [SMPS, EMPTY, EMPTY, EMPTY])],
            "timeline": [{"atMs": 1500, "event": "unplug", "serial": 0x1A2B3},
                         {"atMs": 3500, "event": "plug", "serial": 0x1A2B3}],
        }
        run = HeadlessRun(self, ["1A2B3", "0", "3600", "1", "0"], scenario=scenario)
        run.wait_for_output("Polling S/N=1A2B3.", count=2)
        run.wait_until(lambda: len(run.files()) == 2 and check_whole_file(self, run.read(run.files()[1]), "A"),
                       "a record in the second file")
        self.assertEqual(run.stop(), 0, run.stderr)
        files = run.files()
        self.assertEqual(len(files), 2, files)
        for name in files:
            self.assertGreater(len(self.check_file(run, name, 0x1A2B3, "A")), 0)
        # The second file starts after the strip came back (about 2 s later).
        stamps = [time.mktime(time.strptime(NAME.match(n).group(3) + NAME.match(n).group(4), "%Y%m%d%H%M%S"))
                  for n in files]
        self.assertGreaterEqual(stamps[1] - stamps[0], 1)
        self.assertIn("Waiting for S/N=1A2B3 to be plugged in.", run.stdout)
        self.assertEqual(run.stdout.count("Polling S/N=1A2B3."), 2, run.stdout)
        # Nothing from the other strip ever went into these files.
        self.assertNotIn("2C4D5", "".join(files))

    def test_the_window_stops_in_order_on_sigterm_too(self):
        # The same logging in the window (drawn off screen), stopped by SIGTERM
        # as a desktop session ends: thread first, files flushed and closed.
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        run = HeadlessRun(self, ["1A2B3", "0", "3600", "1", "0"], window=True, env=env)
        run.wait_until(lambda: run.record_count() > 5 or run.process.poll() is not None, "records")
        status = run.stop() if run.process.poll() is None else run.wait()
        if "this build has no window" in run.stderr:
            self.skipTest("built without the window")
        self.assertEqual(status, 0, run.stderr)
        files = run.files()
        self.assertEqual(len(files), 1, files)
        self.assertGreater(len(self.check_file(run, files[0], 0x1A2B3, "A")), 5)

    def test_duration_stops_it_by_itself_in_order(self):
        run = HeadlessRun(self, ["1A2B3", "0", "3600", "1", "0"], duration=1)
        self.assertEqual(run.wait(), 0, run.stderr)
        self.assertIn("Stopped; log files flushed and closed.", run.stdout)
        for name in run.files():
            check_whole_file(self, run.read(name), "A")

    def test_command_line_error_exits_with_status_2(self):
        run = HeadlessRun(self, ["F4240", "10"])
        self.assertEqual(run.wait(), 2)
        self.assertIn("Error in the Command Line Option 'F4240 10'.", run.stderr)
        self.assertEqual(run.files(), [])

    def test_dash_h_shows_the_help_and_starts_nothing(self):
        for option in ("-h", "--help"):
            run = HeadlessRun(self, ["1A2B3", "0", "0", "1", "0", option], window=True)
            self.assertEqual(run.wait(), 0, run.stderr)
            self.assertTrue(run.stdout.startswith("Usage: kvxclient"), run.stdout)
            self.assertEqual(run.files(), [])

    def test_without_a_display_the_window_says_so_and_exits_1(self):
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        run = HeadlessRun(self, ["1A2B3", "0", "0", "1", "0"], window=True, env=env)
        status = run.wait()
        if "this build has no window" in run.stderr:
            self.skipTest("built without the window")
        self.assertEqual(status, 1, run.stderr)
        self.assertIn("no display found", run.stderr)
        self.assertIn("--headless runs without one", run.stderr)
        self.assertNotIn("Reinstalling", run.stderr)
        self.assertEqual(run.files(), [])

    def test_without_serial_the_first_strip_is_polled_and_said(self):
        run = HeadlessRun(self, [])
        run.wait_for_output("No serial number given: polling the first strip found, S/N=1A2B3.")
        run.wait_for_next_status_line(0x1A2B3)
        self.assertEqual(run.stop(), 0, run.stderr)
        self.assertEqual(run.files(), [])  # logging is off without a command line


if __name__ == "__main__":
    kvx_e2e.main()
