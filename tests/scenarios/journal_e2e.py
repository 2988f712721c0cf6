#!/usr/bin/env python3
"""The event journal accounts for every gap in the CSV records.

One headless run logs a strip once a second, splitting its files every three
seconds, while the strip is unplugged and plugged in again and (as root, on a
small tmpfs) the disk fills up and is freed again. Afterwards:
- every journal line is a whole JSON object (json.loads), ending in a newline;
- each CSV file has its file_opened and file_closed lines, whose record count
  and first and last record times are the file's own;
- every gap between consecutive records longer than the record interval plus
  a margin holds a journal event that gives a reason (or read time-outs);
- the unplug, the replug, the split and the full disk all show with their
  reasons.
Without root the disk-full phase is skipped, with a message; the rest runs.

Usage: journal_e2e.py --binary PATH [unittest args]
"""
import datetime
import errno
import json
import os
import shutil
import subprocess
import tempfile
import unittest

import kvx_e2e
from faults_e2e import Logger, wait_until
from kvx_e2e import EMPTY, HEATER, NAME, SMPS, check_whole_file, strip

JOURNAL = "kvx-events.jsonl"
RECORD_INTERVAL = 1.0  # seconds, as given on the command line below
MARGIN = 1.5           # record times are whole seconds; a record may come up to a reading late
SERIAL = 0x1A2B3
SCENARIO = {
    "strips": [strip(SERIAL, [HEATER, SMPS, EMPTY, HEATER])],
    "timeline": [{"atMs": 5000, "event": "unplug", "serial": SERIAL},
                 {"atMs": 9000, "event": "plug", "serial": SERIAL}],
}
# Record interval 1 s, split interval 3 s, logging mode 2 (split), current.
ARGS = ["1A2B3", "1", "3", "2", "0"]


def local_naive(iso):
    """A journal time ("2026-12-08T09:12:03.417+01:00") as naive local time."""
    return datetime.datetime.fromisoformat(iso).replace(tzinfo=None)


def record_time(line):
    return datetime.datetime.strptime(line[:19].decode(), "%Y/%m/%d %H:%M:%S")


class JournalTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kvx-journal-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.logs = os.path.join(self.dir, "logs")
        os.mkdir(self.logs)
        with open(os.path.join(self.dir, "scenario.json"), "w") as f:
            json.dump(SCENARIO, f)

    def small_disk(self):
        """A small tmpfs on the log directory; None (and why) where that cannot be had."""
        if os.geteuid() != 0:
            return "disk full needs a small tmpfs, which only root can mount: not root here"
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", self.logs],
                              capture_output=True, text=True)
        if done.returncode != 0:
            return "this machine does not allow mounting a tmpfs: " + done.stderr.strip()
        self.addCleanup(subprocess.run, ["umount", "-l", self.logs])
        return None

    def fill_disk(self, logger):
        """Fills the disk until a record fails, for three status lines; then frees it."""
        filler = os.path.join(self.logs, "filler")
        with open(filler, "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"x" * 4096)
            except OSError as e:
                self.assertEqual(e.errno, errno.ENOSPC)
        self.assertTrue(logger.wait_said("Logging is failing: "), logger.err[-5:])
        failing = lambda: sum("LOG FAILING" in line for line in logger.out)
        self.assertTrue(wait_until(lambda: failing() >= 3), logger.out[-3:])
        os.remove(filler)
        self.assertTrue(logger.wait_said("Logging works again."), logger.err[-5:])

    def journal(self):
        with open(os.path.join(self.logs, JOURNAL), "rb") as f:
            text = f.read()
        self.assertTrue(text.endswith(b"\n"), text[-200:])
        entries = []
        for raw in text.split(b"\n")[:-1]:
            entry = json.loads(raw)  # a line that is not whole JSON fails here
            for key in ("time", "ms", "serial", "event"):
                self.assertIn(key, entry, raw)
            entry["at"] = local_naive(entry["time"])
            entries.append(entry)
        return entries

    def csv_files(self):
        files = {}
        for name in sorted(os.listdir(self.logs)):
            if name in (JOURNAL, "filler") or name.endswith(".lock") or name.startswith("kvx-energy-"):
                continue
            m = NAME.match(name)
            self.assertIsNotNone(m, "not a log file: %s" % name)
            with open(os.path.join(self.logs, name), "rb") as f:
                files[name] = check_whole_file(self, f.read(), m.group(2))
        return files

    def check_files_accounted(self, files, journal):
        opened = {e["file"]: e for e in journal if e["event"] == "file_opened"}
        closed = {e["file"]: e for e in journal if e["event"] == "file_closed"}
        for name, records in files.items():
            self.assertIn(name, opened, name)
            self.assertIn(name, closed, name)
            self.assertEqual(closed[name]["records"], len(records), name)
            first, last = record_time(records[0]), record_time(records[-1])
            self.assertEqual(local_naive(closed[name]["first"]).replace(microsecond=0), first, name)
            self.assertEqual(local_naive(closed[name]["last"]).replace(microsecond=0), last, name)
            self.assertEqual(closed[name]["first"], opened[name]["first"], name)
        self.assertEqual(set(closed), set(files), "a file closed in the journal is not in the directory")

    def gaps(self, files):
        times = sorted(record_time(line) for records in files.values() for line in records)
        limit = datetime.timedelta(seconds=RECORD_INTERVAL + MARGIN)
        return [(a, b) for a, b in zip(times, times[1:]) if b - a > limit]

    def explaining(self, journal, gap):
        """The journal's events with a reason inside a gap (record times are whole seconds)."""
        start, end = gap[0], gap[1] + datetime.timedelta(seconds=1)
        return [e for e in journal if start <= e["at"] < end and ("reason" in e or e["event"] == "read_timeouts")]

    def test_every_gap_in_the_records_is_accounted_for(self):
        skipped = self.small_disk()
        logger = Logger(self, self.dir, self.logs, ARGS)
        self.assertTrue(wait_until(lambda: sum("Polling S/N=1A2B3." in l for l in logger.out) >= 2), logger.out[-3:])
        if skipped is None:
            # Well after the replug, with a split between, so the full disk makes a gap of its own.
            seen = len(logger.out)
            self.assertTrue(wait_until(lambda: sum("| logging " in l for l in logger.out[seen:]) >= 4),
                            logger.out[-3:])
            self.fill_disk(logger)
        self.assertTrue(wait_until(lambda: len([n for n in os.listdir(self.logs) if NAME.match(n)]) >= 4))
        self.assertEqual(logger.stop(), 0, logger.err[-5:])

        journal = self.journal()
        files = self.csv_files()
        self.check_files_accounted(files, journal)
        gaps = self.gaps(files)
        reasons = []
        for gap in gaps:
            found = self.explaining(journal, gap)
            self.assertTrue(found, "records stop from %s to %s and the journal says nothing of it" % gap)
            reasons += [e.get("reason", e["event"]) for e in found]
            print("gap %s .. %s:" % (gap[0].time(), gap[1].time()))
            for e in journal:
                if gap[0] <= e["at"] < gap[1] + datetime.timedelta(seconds=1):
                    print("   ", json.dumps({k: v for k, v in e.items() if k != "at"}))

        events = [e["event"] for e in journal]
        close_reasons = [e["reason"] for e in journal if e["event"] == "file_closed"]
        self.assertIn("unplugged", reasons)
        self.assertIn("strip_left", events)
        self.assertIn("strip_arrived", events)
        self.assertEqual(events.count("connection_started"), 2, events)
        self.assertIn("split", close_reasons)
        self.assertIn("connection_ended", close_reasons)
        # The stop ends the connection first, which closes the last files; then the shutdown.
        self.assertEqual(close_reasons[-1], "connection_ended")
        self.assertEqual([e.get("reason") for e in journal if e["event"] == "connection_ended"][-1], "stop")
        self.assertEqual(events[-1], "shutdown")
        self.assertEqual(events.count("shutdown"), 1)
        for e in journal:
            if e["event"] != "journal_recovered":
                self.assertEqual(e["serial"], "1A2B3", e)
        if skipped is None:
            self.assertTrue(any("No space left on device" in r for r in reasons), reasons)
            self.assertIn("logging_recovered", events)
        else:
            print("disk-full phase skipped:", skipped)


if __name__ == "__main__":
    kvx_e2e.main()
