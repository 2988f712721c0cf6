"""Shared pieces of the end-to-end tests: running `kvxclient --headless` in a
fresh directory with a scenario, and reading back its CSV files and the
simulated driver's request trace."""
import argparse
import glob
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

BINARY = None  # set by the test script's main

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
    config = {"serial": serial, "summaryIntervalMs": summary_ms, "waveformIntervalMs": waveform_ms,
              "outlets": outlets}
    config.update(extra)
    return config


HEATER = {"type": "heater", "watts": 1200}
SMPS = {"type": "smps", "watts": 180}
EMPTY = {"type": "empty"}


class HeadlessRun:
    """One run of the program in a fresh directory."""

    def __init__(self, test, args, scenario=None, duration=None, window=False, env=None):
        self.dir = tempfile.mkdtemp(prefix="kvx-e2e-")
        test.addCleanup(lambda: subprocess.run(["rm", "-rf", self.dir]))
        self.trace = os.path.join(self.dir, "trace.txt")
        self.logs = os.path.join(self.dir, "logs")
        os.mkdir(self.logs)
        command = [BINARY] + ([] if window else ["--headless"]) + ["--trace=" + self.trace, "--log-dir=" + self.logs]
        if isinstance(scenario, str):
            command.append("--scenario=" + scenario)
        elif scenario is not None:
            path = os.path.join(self.dir, "scenario.json")
            with open(path, "w") as f:
                json.dump(scenario, f)
            command.append("--scenario=" + path)
        if duration is not None:
            command.append("--duration=%g" % duration)
        self.started = time.monotonic()
        self.process = subprocess.Popen(command + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)

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



    def serial_requests(self, serial, on="iface"):
        """Trace lines of REQ_SERIAL_NUMBER sent to one strip on one kind of handle."""
        with open(self.trace) as f:
            return [l for l in f if " sn=%05X on=%s " % (serial, on) in l and " setup=C0:C1:" in l]

    def trace_lines(self, pattern):
        with open(self.trace) as f:
            return [l for l in f if re.search(pattern, l)]



def scenario_file(name):
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), name)


def check_whole_file(test, content, unit):
    """Every line of a log file is whole: the six header lines, then records."""
    lines = content.splitlines(keepends=True)
    test.assertTrue(content.endswith(b"\r\n"))
    test.assertEqual(lines[:3], HEADER_LINES)
    test.assertEqual(lines[3], UNIT_LINE[unit])
    test.assertEqual(lines[5], COLUMNS_LINE)
    for line in lines[6:]:
        test.assertRegex(line, RECORD[unit])
    return lines[6:]


def main():
    """Runs the calling script's tests against the program given with --binary."""
    global BINARY
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    args, rest = parser.parse_known_args()
    BINARY = os.path.abspath(args.binary)
    unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2)
