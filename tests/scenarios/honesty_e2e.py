#!/usr/bin/env python3
"""Nothing stale, nothing silent: each case is a mistake or fault that once
went unnoticed (a stale reading logged, a log directory that never existed,
a strip swapped behind the status line's back, text of the start-up values
silently dropped, a second logger on the same files, a journal line strict
JSON readers refuse, a reconnect flood), run through the real program.

Usage: honesty_e2e.py --binary PATH [--usb EMULATOR] [unittest args]
"""
import json
import os
import subprocess
import tempfile
import time
import unittest

import kvx_e2e
from kvx_e2e import EMPTY, HEATER, HeadlessRun, strip


def one_strip(**extra):
    return {"strips": [strip("0x1A2B3", [HEATER, EMPTY, EMPTY, EMPTY], summary_ms=50, **extra)]}


def journal(run):
    path = os.path.join(run.logs, "kvx-events.jsonl")
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        # Strict: bytes that are not UTF-8 would raise here.
        return [json.loads(line.decode("utf-8")) for line in f if line.endswith(b"\n")]


class HonestyTest(unittest.TestCase):
    def program(self, *args, env=None, timeout=30):
        return subprocess.run([kvx_e2e.BINARY, *args], capture_output=True, text=True, timeout=timeout,
                              env=env, errors="replace")

    # ---- strips: over the simulated driver and over USB

    def test_no_reading_of_an_earlier_selection_is_logged(self):
        # Power from the start, with a slow outlet selection that lets readings
        # queue: every record is power, no current file appears.
        slow = {"faults": {"replies": [{"request": "REQ_SELECT_OUTLET", "mode": "slow", "delayMs": 400}]}}
        run = HeadlessRun(self, ["0", "0", "1", "1", "1"], scenario=one_strip(**slow), duration=3)
        self.assertEqual(run.wait(), 0, run.stderr)
        names = run.files()
        self.assertTrue(names and all("_ALL_W_" in n for n in names), names)

    def test_a_swapped_strip_is_seen_and_its_values_are_not_shown_as_live(self):
        # A fallback-class strip arrives, then the polled one leaves: the
        # number of strips stays one, yet the polled strip is gone.
        scenario = one_strip()
        scenario["strips"].append(dict(strip("0x0F00D", [HEATER, EMPTY, EMPTY, EMPTY], summary_ms=50),
                                       interface="fallback", present=False))
        scenario["timeline"] = [{"atMs": 800, "event": "plug", "serial": "0x0F00D"},
                                {"atMs": 1600, "event": "unplug", "serial": "0x1A2B3"}]
        run = HeadlessRun(self, ["1A2B3", "1", "3600", "1", "0"], scenario=scenario)
        run.wait_for_output("Waiting for S/N=1A2B3")
        run.wait_for_output("S/N=1A2B3 (waiting) | - V | - Hz | - \u00b0C | CH1 - CH2 - CH3 - CH4 -")
        self.assertEqual(run.stop(), 0, run.stderr)
        events = [(e["event"], e["serial"]) for e in journal(run)]
        self.assertIn(("strip_arrived", "0F00D"), events)
        self.assertIn(("strip_left", "1A2B3"), events)

    def test_a_stall_shows_in_the_status_line_and_current_mode_has_no_energy(self):
        run = HeadlessRun(self, ["1A2B3", "1", "3600", "1", "0"], scenario=kvx_e2e.scenario_file("stall.json"))
        run.wait_for_output("no readings for")
        self.assertEqual(run.stop(), 0, run.stderr)
        stalled = [l for l in run.stdout.splitlines() if "no readings for" in l]
        self.assertIn("CH1 - CH2 - CH3 - CH4 -", stalled[0])
        self.assertTrue(all("energy n/a (current)" in l for l in run.status_lines(0x1A2B3)))

    def test_the_clients_trace_holds_what_it_sent_and_received_in_order(self):
        # Over the simulated driver the runs' trace is already the client's;
        # over USB the emulator keeps its own, and the client writes another.
        client = os.path.join(tempfile.mkdtemp(prefix="kvx-trace-"), "client.txt")
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", os.path.dirname(client)]))
        extra = ["--trace=" + client] if kvx_e2e.USB_EMULATOR else []
        run = HeadlessRun(self, extra + ["1A2B3", "0", "1", "1", "1"], scenario=one_strip(), duration=1.5)
        self.assertEqual(run.wait(), 0, run.stderr)
        with open(client if kvx_e2e.USB_EMULATOR else run.trace) as f:
            lines = f.read().splitlines()
        self.assertEqual([int(l.rsplit(" seq=", 1)[1]) for l in lines], list(range(1, len(lines) + 1)))
        text = "\n".join(lines)
        self.assertRegex(text, r" sn=1A2B3 on=iface ctl=TRANSFER code=00222024 setup=C0:C1:0000:0000:0003 "
                               r"result=ok returned=3 reply=01a2b3 seq=")
        self.assertIn(" sn=1A2B3 on=pipe ctl=SET_EVENT ", text)
        self.assertIn(" sn=1A2B3 on=pipe ctl=TRANSFER code=00222024 setup=40:20:0010:0000:0000 result=ok", text)
        self.assertRegex(text, r" sn=1A2B3 on=pipe read status=completed bytes=16 data=[0-9a-f]{6}10")

    # ---- the simulated driver only: options, files, the journal

    def test_the_log_directory_is_made_refused_or_expanded(self):
        base = tempfile.mkdtemp(prefix="kvx-logdir-")
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", base]))
        made = os.path.join(base, "a", "b")
        self.assertEqual(self.program("--headless", "--duration=1", "--log-dir", made, "1A2B3 0 1 1 0").returncode, 0)
        self.assertTrue(any(kvx_e2e.is_log(n) for n in os.listdir(made)))
        env = dict(os.environ, HOME=base)
        self.assertEqual(self.program("--headless", "--duration=0.5", "--log-dir=~/home-logs", "1A2B3 0 1 1 0",
                                      env=env).returncode, 0)
        self.assertTrue(os.path.isdir(os.path.join(base, "home-logs")))
        blocker = os.path.join(base, "file")
        open(blocker, "w").close()
        # The window says it in a message box too; a screenshot run (unattended) only on stderr.
        for mode in (["--headless"], ["--screenshot=" + os.path.join(base, "shot.png")]):
            refused = self.program(*mode, "--log-dir=" + blocker + "/logs", "1A2B3 1 1 1 0",
                                   env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
            if "this build has no window" in refused.stderr:
                continue
            self.assertEqual(refused.returncode, 2, refused.stderr)
            self.assertIn("log directory " + blocker + "/logs cannot be created", refused.stderr)

    def test_a_second_logger_of_the_same_strip_and_directory_stops_at_start(self):
        first = HeadlessRun(self, ["1A2B3", "1", "3600", "1", "0"])
        first.wait_for_records(1)
        second = self.program("--headless", "--log-dir=" + first.logs, "1A2B3", "1", "3600", "1", "0")
        self.assertEqual(second.returncode, 2)
        self.assertIn("already logged into %s by process %d" % (first.logs, first.process.pid), second.stderr)
        self.assertEqual(first.stop(), 0)

    def test_start_up_text_that_is_not_read_or_out_of_range_is_said(self):
        run = HeadlessRun(self, ["S/N=1A2B3"], duration=0.5)
        self.assertEqual(run.wait(), 0, run.stderr)
        self.assertIn("'S/N=1A2B3' was not read; the start-up values are taken as: serial 0,", run.stderr)
        run = HeadlessRun(self, ["1A2B3", "1", "0", "1", "W"], duration=0.5)
        self.assertEqual(run.wait(), 0, run.stderr)
        self.assertIn("'W' was not read;", run.stderr)
        self.assertIn("quantity 0 (current)", run.stderr)
        wrong = self.program("--headless", "1A2B3", "3601")
        self.assertEqual(wrong.returncode, 2)
        self.assertEqual(wrong.stderr.splitlines()[:2], ["Error in the Command Line Option '1A2B3 3601'.",
                                                         "The record interval 3601 must be 0 to 3600 seconds."])
        twice = self.program("--headless", "--duration=1", "--duration=2")
        self.assertEqual(twice.returncode, 2)
        self.assertIn("--duration is given twice", twice.stderr)
        window = self.program("--duration=1", env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
        self.assertEqual(window.returncode, 2)
        self.assertIn("--duration works with --headless only", window.stderr)
        unused = self.program("--select=calc:1", env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
        if "this build has no window" not in unused.stderr:
            self.assertEqual(unused.returncode, 2)
            self.assertIn("--select and --wait work with --screenshot only", unused.stderr)
        wrong = HeadlessRun(self, ["99999", "1", "1", "1", "0"], duration=1)
        self.assertEqual(wrong.wait(), 0, wrong.stderr)
        self.assertIn("Waiting for S/N=99999 to be plugged in. Strips found: S/N=1A2B3, S/N=2C4D5.", wrong.stdout)
        listed = self.program("--list")
        self.assertEqual(listed.returncode, 0)
        self.assertRegex(listed.stdout, r"S/N=1A2B3  primary  \S+")

    def test_journal_lines_stay_json_for_a_directory_name_that_is_not_utf8(self):
        base = tempfile.mkdtemp(prefix="kvx-bytes-")
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", base]))
        logs = os.path.join(base.encode(), b"logs-\xff\xfe")
        result = subprocess.run([kvx_e2e.BINARY.encode(), b"--headless", b"--duration=1.5", b"--log-dir=" + logs,
                                 b"1A2B3", b"1", b"1", b"2", b"0"], capture_output=True, timeout=30)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(os.path.join(logs, b"kvx-events.jsonl"), "rb") as f:
            events = [json.loads(line.decode("utf-8")) for line in f]
        self.assertEqual(events[0]["event"], "process_started")
        self.assertTrue(any(e["event"] == "file_closed" for e in events))


class UsbOnlyTest(unittest.TestCase):
    def test_a_wrong_endpoint_backs_off_instead_of_flooding(self):
        if not kvx_e2e.USB_EMULATOR:
            self.skipTest("a data endpoint exists over USB only")
        run = HeadlessRun(self, ["--usb-endpoint=0x82", "1A2B3", "1", "3600", "1", "0"], duration=4)
        self.assertEqual(run.wait(), 0, run.stderr)
        self.assertEqual(run.stderr.count("reads fail right after the connection opens"), 1, run.stderr)
        events = [e["event"] for e in journal(run)]
        self.assertEqual(events.count("connection_failing"), 1)
        # Doubling from 100 ms: a handful of attempts in 4 s, not hundreds.
        self.assertLess(events.count("connection_started"), 10, events)


if __name__ == "__main__":
    kvx_e2e.main()
