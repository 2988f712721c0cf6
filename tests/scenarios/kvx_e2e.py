"""Shared pieces of the end-to-end tests: running `kvxclient --headless` in a
fresh directory with a scenario, and reading back its CSV files and the
simulated driver's request trace.

With --usb EMULATOR the same runs go over the USB backend: the program runs
under kvx-usb-emulator, which plays the scenario's strips on an emulated bus
and writes the trace in the simulated driver's format."""
import argparse
import glob
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BINARY = None  # set by the test script's main
USB_EMULATOR = None  # set by --usb: the runs go through kvx-usb-emulator and the USB backend
# The IDs under which the emulator shows primary- and fallback-class strips.
USB_IDS = ["--driver=usb", "--usb-id=1209:0001", "--usb-fallback-id=1209:0002"]
ANY_HANDLE = r"\w+"
# How long a test waits for something the program is to do: long enough for a
# sanitizer build on a busy machine; a test that passes never waits that long.
WAIT_TIMEOUT = 60

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


def is_log(name):
    """A CSV log file's name (the energy ledgers beside them are CSV files too)."""
    return name.endswith(".csv") and not name.startswith("kvx-energy-")


LEDGER_ROW = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:00:00[+-]\d\d:\d\d,[0-9A-F]{6},[1-4],[^,]*,-?\d+\.\d{6},"
                        r"\d+\.\d{3},\d+,(-?\d+\.\d\d,-?\d+\.\d\d|,)\n$")


def check_ledger_file(test, path):
    """An energy ledger (or its state, or a save cut short) holds whole rows only."""
    with open(path, "rb") as f:
        lines = f.read().decode("ascii").splitlines(keepends=True)
    if path.endswith(".new"):
        lines = lines[:-1] if lines and not lines[-1].endswith("\n") else lines  # a save a kill cut short
    if path.endswith(".csv"):
        test.assertEqual(lines[0], "hour_start,serial,outlet,name,energy_wh,measured_s,gaps,max_w,min_w\n")
        lines = lines[1:]
    for line in lines:
        test.assertRegex(line, LEDGER_ROW)


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

    def __init__(self, test, args, scenario=None, duration=None, window=False, env=None, preexec_fn=None, logs=None):
        self.dir = tempfile.mkdtemp(prefix="kvx-e2e-")
        test.addCleanup(lambda: subprocess.run(["rm", "-rf", self.dir]))
        self.trace = os.path.join(self.dir, "trace.txt")
        # `logs`: a directory that runs share (one made for this run by default).
        self.logs = logs or os.path.join(self.dir, "logs")
        if not logs:
            os.mkdir(self.logs)
        # The strips' options: the program's over the simulated driver, the
        # emulator's over USB.
        strips = ["--trace=" + self.trace]
        if isinstance(scenario, str):
            strips.append("--scenario=" + scenario)
        elif scenario is not None:
            path = os.path.join(self.dir, "scenario.json")
            with open(path, "w") as f:
                json.dump(scenario, f)
            strips.append("--scenario=" + path)
        program = [BINARY] + ([] if window else ["--headless"]) + ["--log-dir=" + self.logs]
        if USB_EMULATOR:
            command = [USB_EMULATOR] + strips + ["--", BINARY] + USB_IDS + program[1:]
        else:
            command = program + strips
        if duration is not None:
            command.append("--duration=%g" % duration)
        self.test = test
        self.process = subprocess.Popen(command + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                        preexec_fn=preexec_fn)
        # The output is collected as it comes, so a test can wait for a line.
        self._out, self._err = bytearray(), bytearray()
        self._lock = threading.Lock()
        self._readers = [threading.Thread(target=self._collect, args=(stream, into), daemon=True)
                         for stream, into in ((self.process.stdout, self._out), (self.process.stderr, self._err))]
        for reader in self._readers:
            reader.start()
        test.addCleanup(self._kill)

    def _collect(self, stream, into):
        for chunk in iter(lambda: stream.read1(4096), b""):
            with self._lock:
                into.extend(chunk)

    def _kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def output(self):
        with self._lock:
            return self._out.decode(errors="replace")

    def wait(self, timeout=60):
        self.process.wait(timeout=timeout)
        for reader in self._readers:
            reader.join()
        self.process.stdout.close()
        self.process.stderr.close()
        self.stdout, self.stderr = self._out.decode(), self._err.decode()
        return self.process.returncode

    def wait_until(self, condition, what, timeout=WAIT_TIMEOUT):
        """Polls `condition` until it holds; fails the test (with the output so
        far) when the program ends first or `timeout` seconds pass without it."""
        deadline = time.monotonic() + timeout
        while not condition():
            if self.process.poll() is not None and not condition():
                self.test.fail("the program ended (status %d) before %s:\n%s" %
                               (self.process.returncode, what, self.output()))
            if time.monotonic() > deadline:
                self.test.fail("no %s within %d s:\n%s" % (what, timeout, self.output()))
            time.sleep(0.02)

    def wait_for_output(self, text, count=1):
        self.wait_until(lambda: self.output().count(text) >= count, "%r x%d in the output" % (text, count))

    def wait_for_records(self, count):
        """Until the log files hold at least `count` whole record lines."""
        self.wait_until(lambda: self.record_count() >= count, "%d records" % count)

    def wait_for_trace(self, pattern, count=1):
        self.wait_until(lambda: len(self.trace_lines(pattern)) >= count, "%d trace lines %r" % (count, pattern))

    def status_lines(self, serial):
        return [l for l in self.output().splitlines() if l.startswith("S/N=%05X |" % serial)]

    def wait_for_next_status_line(self, serial):
        """Until one more status line than now is out: the main loop has come
        round at least once since."""
        seen = len(self.status_lines(serial))
        self.wait_until(lambda: len(self.status_lines(serial)) > seen, "another status line")

    def record_count(self):
        total = 0
        for name in self.files():
            lines = self.read(name).split(b"\r\n")
            total += max(0, len(lines) - 1 - 6)  # whole lines after the six header lines
        return total

    def stop(self):
        """SIGTERM, then the exit status."""
        self.process.send_signal(signal.SIGTERM)
        return self.wait()

    def files(self):
        return sorted(n for n in (os.path.basename(p) for p in glob.glob(os.path.join(self.logs, "*.csv")))
                      if is_log(n))

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
        """Trace lines of REQ_SERIAL_NUMBER sent to one strip on one kind of
        handle (ANY_HANDLE: on any). Over USB every request travels on the
        strip's one control endpoint, so the strip cannot tell which of the
        client's handles sent it: the emulator traces them on the pipe while
        the interface is claimed, on the interface otherwise."""
        return self.trace_lines(r" sn=%05X on=%s .* setup=C0:C1:" % (serial, on))

    def trace_lines(self, pattern):
        if not os.path.exists(self.trace):
            return []
        with open(self.trace) as f:
            return [l for l in f if l.endswith("\n") and re.search(pattern, l)]

    def trace_time(self, line):
        """The simulator's time of a trace line, in milliseconds."""
        return float(line.split(" ", 1)[0])



def free_port():
    """A loopback port nobody listens on now."""
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_until(condition, timeout, what):
    """The first true value of `condition` within `timeout` seconds; fails otherwise."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


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
    global BINARY, USB_EMULATOR
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--usb", metavar="EMULATOR", help="run the program over USB under this kvx-usb-emulator")
    args, rest = parser.parse_known_args()
    BINARY = os.path.abspath(args.binary)
    USB_EMULATOR = os.path.abspath(args.usb) if args.usb else None
    unittest.main(module="__main__", argv=[sys.argv[0]] + rest, verbosity=2)
