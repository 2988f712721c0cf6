#!/usr/bin/env python3
"""End-to-end runs of `kvxclient --driver=usb` over strips that
kvx-usb-emulator plays on an emulated USB bus: the default strip logged as
the simulated driver logs it, the unlock code of the record reset, and what
the user sees when the IDs are missing, malformed, match nothing, or the strip
may not be opened.

Usage: usb_e2e.py --binary KVXCLIENT --emulator KVX-USB-EMULATOR [unittest args]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scenarios"))
import kvx_e2e  # noqa: E402  (the CSV layout the scenario tests check)

BINARY = EMULATOR = None
START_VALUES = ["1A2B3", "0", "1", "1", "0"]  # strip 1A2B3, every reading, current log
# A run's own bound: the program stops itself after --duration; this only
# keeps a hung run from hanging the test.
RUN_TIMEOUT = 120


class UsbRunTest(unittest.TestCase):
    def fresh_dir(self):
        path = tempfile.mkdtemp(prefix="kvx-usb-e2e-")
        self.addCleanup(shutil.rmtree, path, True)
        return path

    def run_program(self, args, under_emulator=True, scenario=None, trace=None, prefix=(), duration=2):
        logs = self.fresh_dir()
        command = [BINARY, "--headless", "--duration=%g" % duration, "--log-dir=" + logs] + args
        if under_emulator:
            emulator = [EMULATOR] + (["--scenario=" + scenario] if scenario else []) + \
                       (["--trace=" + trace] if trace else []) + ["--"]
            command = emulator + command
        result = subprocess.run(list(prefix) + command, capture_output=True, text=True, timeout=RUN_TIMEOUT,
                                cwd=logs, env=dict(os.environ, ASAN_OPTIONS="verify_asan_link_order=0"))
        return result, logs

    def records(self, logs):
        """The one log file's name, its six header lines and its record lines."""
        names = sorted(n for n in os.listdir(logs) if kvx_e2e.is_log(n))
        self.assertEqual(len(names), 1, names)
        with open(os.path.join(logs, names[0]), "rb") as f:
            lines = f.read().split(b"\r\n")
        self.assertEqual(lines[-1], b"")  # whole lines only
        return names[0], lines[:6], [line + b"\r\n" for line in lines[6:-1]]


class DefaultStripTest(UsbRunTest):
    def test_the_default_strip_is_logged_over_usb_as_by_the_simulated_driver(self):
        sim, sim_logs = self.run_program(START_VALUES, under_emulator=False, duration=3)
        usb, usb_logs = self.run_program(["--driver=usb", "--usb-id=1209:0001"] + START_VALUES, duration=3)
        for result in (sim, usb):
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn("Polling S/N=1A2B3.\n", result.stdout)
        sim_name, sim_header, sim_records = self.records(sim_logs)
        usb_name, usb_header, usb_records = self.records(usb_logs)
        # Same pattern (serial, kind), the time in the name is the start's own.
        self.assertEqual(kvx_e2e.NAME.match(sim_name).group(1, 2), ("1A2B3", "A"))
        self.assertEqual(kvx_e2e.NAME.match(usb_name).group(1, 2), ("1A2B3", "A"))
        self.assertEqual(usb_header, sim_header)
        self.assertEqual(usb_header[:3], [line.rstrip(b"\r\n") for line in kvx_e2e.HEADER_LINES])
        for records in (sim_records, usb_records):
            self.assertGreaterEqual(len(records), 3)
            for line in records:
                self.assertRegex(line, kvx_e2e.RECORD["A"])
        # Every field but the wall-clock date is the same. The loads are
        # steady while both runs stay within the refrigerator's first 20 s
        # (its cycle is 40 s at half duty from the simulated clock's start),
        # so no tolerance is needed; the number of records follows the
        # pacing of each run and is not compared.
        values = lambda records: {line.split(b",", 1)[1] for line in records}
        self.assertEqual(values(usb_records), values(sim_records))


class UnlockCodeTest(UsbRunTest):
    """Outlet 2's record flagged: the reset goes out only with a code, and the
    strip restores the record only when the code is its own (4B56:5843)."""

    def run_flagged(self, extra):
        scenario = os.path.join(self.fresh_dir(), "flagged.json")
        with open(scenario, "w") as f:
            json.dump({"strips": [kvx_e2e.strip("0x1A2B3", [kvx_e2e.EMPTY, kvx_e2e.HEATER, kvx_e2e.EMPTY,
                                                            kvx_e2e.EMPTY], faults={"flaggedRecords": [2]})]}, f)
        trace = os.path.join(self.fresh_dir(), "trace.txt")
        result, _ = self.run_program(["--driver=usb", "--usb-id=1209:0001"] + extra + START_VALUES,
                                     scenario=scenario, trace=trace, duration=1)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(trace) as f:
            lines = f.read().splitlines()
        unlocks = [l.split("setup=")[1].split()[0] for l in lines if "setup=40:15:" in l]
        record_reads = [l.split("reply=")[1] for l in lines if "setup=C0:A2:0300:002C:0008" in l]
        return result, unlocks, record_reads

    NOTICE = ("kvxclient: the calibration record of outlet 2 of S/N=1A2B3 is flagged; without the strip's unlock "
              "code (--unlock-code=W1:W2) it is used as read, not reset")

    def test_without_the_code_the_flagged_record_is_used_as_read_and_said_once(self):
        result, unlocks, record_reads = self.run_flagged([])
        self.assertEqual(unlocks, [])
        self.assertEqual(len(record_reads), 1)  # not read again
        self.assertEqual(record_reads[0][10:12], "ff")  # byte 5: the flag
        self.assertEqual(result.stderr.count(self.NOTICE), 1, result.stderr)

    def test_with_the_strips_code_the_record_is_reset(self):
        result, unlocks, record_reads = self.run_flagged(["--unlock-code=4B56:5843"])
        self.assertEqual(unlocks, ["40:15:4B56:5843:0000"])
        self.assertEqual([r[10:12] for r in record_reads], ["ff", "00"])  # flag cleared by the reset
        self.assertNotIn("unlock code", result.stderr)

    def test_the_words_sent_are_the_ones_given(self):
        result, unlocks, record_reads = self.run_flagged(["--unlock-code=1111:2222"])
        self.assertEqual(unlocks, ["40:15:1111:2222:0000"])
        self.assertEqual([r[10:12] for r in record_reads], ["ff", "ff"])  # the strip refused that code


class UserMistakeTest(UsbRunTest):
    def test_no_id_and_a_malformed_id_exit_with_status_2_before_anything_starts(self):
        for args, message in (
                ([], "kvxclient: --driver=usb needs the strips' USB IDs: --usb-id=VID:PID (repeatable; "
                     "lsusb shows them)\n(see --help)\n"),
                (["--usb-id=1209:"], "kvxclient: --usb-id=1209:: expected VID:PID, two hexadecimal numbers of up "
                                     "to 4 digits as lsusb shows them (e.g. --usb-id=1209:0001)\n(see --help)\n")):
            result, logs = self.run_program(["--driver=usb"] + args + START_VALUES)
            self.assertEqual(result.returncode, 2, result.stderr)
            self.assertEqual(result.stderr, message)
            self.assertEqual(result.stdout, "")
            self.assertEqual(os.listdir(logs), [])

    def test_an_id_that_matches_nothing_waits_visibly_and_stops_in_order(self):
        result, logs = self.run_program(["--driver=usb", "--usb-id=dead:beef"] + START_VALUES)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Waiting for S/N=1A2B3 to be plugged in. No strip found.\n", result.stdout)
        self.assertIn("S/N=1A2B3 (waiting) | - V", result.stdout)
        self.assertIn("Stopped; log files flushed and closed.\n", result.stdout)
        self.assertEqual([n for n in os.listdir(logs) if kvx_e2e.is_log(n)], [])  # nothing logged

    def test_a_strip_that_may_not_be_opened_names_the_fix_once_and_waits(self):
        # The emulated node is made unreadable inside the testbed; root would
        # open it anyway, so the run drops to nobody then.
        prefix = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] if os.geteuid() == 0 else []
        command = " ".join(["chmod 000 \"$UMOCKDEV_DIR\"/dev/bus/usb/001/* && exec", BINARY, "\"$@\""])
        logs = self.fresh_dir()
        os.chmod(logs, 0o777)
        args = ["--headless", "--duration=2", "--log-dir=" + logs, "--driver=usb", "--usb-id=1209:0001"] + START_VALUES
        result = subprocess.run(prefix + [EMULATOR, "--", "sh", "-c", command, "sh"] + args, capture_output=True,
                                text=True, timeout=RUN_TIMEOUT, cwd="/",
                                env=dict(os.environ, ASAN_OPTIONS="verify_asan_link_order=0"))
        self.assertEqual(result.returncode, 0, result.stderr)
        message = ("kvxclient: no permission to open the strip usb#1209:0001#1-1 (/dev/bus/usb/001/002): install "
                   "the udev rule of the README (section \"Real strips\") and plug it in again, or add the user "
                   "to group plugdev\n")
        self.assertEqual(result.stderr.count(message), 1, result.stderr)
        self.assertIn("Waiting for S/N=1A2B3 to be plugged in. No strip found.\n", result.stdout)
        self.assertEqual([n for n in os.listdir(logs) if kvx_e2e.is_log(n)], [])  # nothing logged


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--emulator", required=True)
    options, rest = parser.parse_known_args()
    BINARY, EMULATOR = os.path.abspath(options.binary), os.path.abspath(options.emulator)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
