#!/usr/bin/env python3
"""End-to-end runs of `kvxclient --headless` against the simulated strips.

Each test starts the real program with a five-value command line, lets it log,
stops it, and reads back what it wrote: the CSV files (with Python's csv
module, as spreadsheets and scripts will) and the simulated driver's request
trace, which holds every reading the strip sent.

Usage: headless_e2e.py --binary PATH [unittest args]
"""
import argparse
import csv
import glob
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BINARY = None

HEADER_LINES = [
    b"hostname,LM-3827QD,,,,,\r\n",
    b"MAC Address,00:00:00:00:00:00,,,,,\r\n",
    b"IP Address,000.000.000.000,,,,,\r\n",
]
UNIT_LINE = {"A": b"unit,electric ampere [A],,,,,\r\n", "W": b"unit,electric power[W],,,,,\r\n"}
COLUMNS_LINE = b"date,state,ch1,ch2,ch3,ch4,V,Hz,Temp\r\n"
RECORD = {
    "A": re.compile(rb"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d,(on,\d{5,},\d{5,},\d{5,},\d{5,},\d{3,},\d+\.\d\d|"
                    rb"off,00000,00000,00000,00000,000,00\.00),-?\d+\.\d\d\r\n$"),
    "W": re.compile(rb"^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d,(on,\d{4,},\d{4,},\d{4,},\d{4,},\d{3,},\d+\.\d\d|"
                    rb"off,0000,0000,0000,0000,000,00\.00),-?\d+\.\d\d\r\n$"),
}
NAME = re.compile(r"^([0-9A-F]{5,})_ALL_([AW])_(\d{8})_(\d{6})_(\d{3})\.csv$")


def strip(serial, outlets, summary_ms=50, waveform_ms=2, **extra):
    spec = {"serial": serial, "summaryIntervalMs": summary_ms, "waveformIntervalMs": waveform_ms,
            "outlets": outlets}
    spec.update(extra)
    return spec


HEATER = {"type": "heater", "watts": 1200}
SMPS = {"type": "smps", "watts": 180}
EMPTY = {"type": "empty"}


class HeadlessRun:
    """One run of the program in a fresh directory."""

    def __init__(self, test, args, scenario=None, duration=None):
        self.dir = tempfile.mkdtemp(prefix="kvx-e2e-")
        test.addCleanup(lambda: subprocess.run(["rm", "-rf", self.dir]))
        self.trace = os.path.join(self.dir, "trace.txt")
        self.logs = os.path.join(self.dir, "logs")
        os.mkdir(self.logs)
        command = [BINARY, "--headless", "--trace=" + self.trace, "--log-dir=" + self.logs]
        if scenario is not None:
            path = os.path.join(self.dir, "scenario.json")
            with open(path, "w") as f:
                json.dump(scenario, f)
            command.append("--scenario=" + path)
        if duration is not None:
            command.append("--duration=%g" % duration)
        self.process = subprocess.Popen(command + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def wait(self, timeout=30):
        out, err = self.process.communicate(timeout=timeout)
        self.stdout, self.stderr = out.decode(), err.decode()
        return self.process.returncode

    def files(self):
        return sorted(os.path.basename(p) for p in glob.glob(os.path.join(self.logs, "*.csv")))

    def read(self, name):
        with open(os.path.join(self.logs, name), "rb") as f:
            return f.read()

    def summary_readings(self):
        """Every summary reading the strips sent: (serial, state, kind, (v1..v4))."""
        readings = []
        with open(self.trace) as f:
            for line in f:
                m = re.search(r"sn=([0-9A-F]+) on=pipe read status=completed bytes=16 data=([0-9a-f]{32})", line)
                if not m:
                    continue
                data = bytes.fromhex(m.group(2))
                kind = data[3]
                if kind & 0x0F:
                    continue
                values = tuple(int.from_bytes(data[8 + 2 * k:10 + 2 * k], "little") for k in range(4))
                readings.append((int(m.group(1), 16), data[0], kind, values))
        return readings

    def replies(self, request):
        """Reply bytes of every successful IN request with this bRequest."""
        out = []
        with open(self.trace) as f:
            for line in f:
                m = re.search(r"setup=C0:%02X:\S+ result=ok returned=\d+ reply=([0-9a-f]+)" % request, line)
                if m:
                    out.append(bytes.fromhex(m.group(1)))
        return out


class HeadlessLoggingTest(unittest.TestCase):
    def check_file(self, run, name, serial, unit):
        m = NAME.match(name)
        self.assertIsNotNone(m, name)
        self.assertEqual(m.group(1), "%05X" % serial)
        self.assertEqual(m.group(2), unit)
        content = run.read(name)
        lines = content.splitlines(keepends=True)
        self.assertEqual(lines[:3], HEADER_LINES)
        self.assertEqual(lines[3], UNIT_LINE[unit])
        self.assertRegex(lines[4].decode(), r"^,%06X,V\d\.\dL[0-9A-F]{2},,,,\r\n$" % serial)
        self.assertEqual(lines[5], COLUMNS_LINE)
        for line in lines[6:]:
            self.assertRegex(line, RECORD[unit])
        return lines[6:]

    def test_five_values_log_current_at_the_record_interval(self):
        run = HeadlessRun(self, ["1A2B3", "1", "3600", "1", "0"], duration=4.6)
        self.assertEqual(run.wait(), 0, run.stderr)
        files = run.files()
        self.assertEqual(len(files), 1, files)
        records = self.check_file(run, files[0], 0x1A2B3, "A")
        self.assertGreaterEqual(len(records), 3)
        self.assertLessEqual(len(records), 5)
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
        run = HeadlessRun(self, ["1A2B3", "1", "3600", "1", "1"], duration=2.6)
        self.assertEqual(run.wait(), 0, run.stderr)
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
        time.sleep(2.5)
        run.process.send_signal(signal.SIGTERM)
        self.assertEqual(run.wait(), 0, run.stderr)
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
        run = HeadlessRun(self, ["1A2B3", "0", "3600", "1", "0"], scenario=scenario, duration=5.5)
        self.assertEqual(run.wait(), 0, run.stderr)
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

    def test_command_line_error_exits_with_status_2(self):
        run = HeadlessRun(self, ["F4240", "10"])
        self.assertEqual(run.wait(), 2)
        self.assertIn("Error in the Command Line Option 'F4240 10'.", run.stderr)
        self.assertEqual(run.files(), [])

    def test_without_serial_the_first_strip_is_polled_and_said(self):
        run = HeadlessRun(self, [], duration=1.5)
        self.assertEqual(run.wait(), 0, run.stderr)
        self.assertIn("No serial number given: polling the first strip found, S/N=1A2B3.", run.stdout)
        self.assertEqual(run.files(), [])  # logging is off without a command line


def main():
    global BINARY
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    args, rest = parser.parse_known_args()
    BINARY = os.path.abspath(args.binary)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
