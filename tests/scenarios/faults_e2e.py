#!/usr/bin/env python3
"""Faults a logging machine meets, provoked against the real program.

Each test runs `kvxclient --headless` logging every reading of a fast
simulated strip, does something unkind to its log directory (fills the disk,
removes or replaces the directory, kills the program with SIGKILL), and then
checks every file in the log directory: a log name, the whole header, whole
records, at least one record (no empty or header-only file) and nothing else.

The disk-full tests mount a small tmpfs and so need root (as on CI); without
it they are skipped with a message saying so.

Usage: faults_e2e.py --binary PATH [unittest args]
"""
import glob
import json
import os
import random
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import kvx_e2e
from kvx_e2e import COLUMNS_LINE, EMPTY, HEADER_LINES, HEATER, NAME, SMPS, UNIT_LINE, check_whole_file, strip

GENEROUS = 30  # seconds to wait for something the program says or does
IDENTITY_LINE = re.compile(rb"^,01A2B3,V\d\.\dL[0-9A-F]{2},,,,\r\n$")
JOURNAL = "kvx-events.jsonl"  # the event journal beside the log files
FAST_STRIP = {"strips": [strip(0x1A2B3, [HEATER, SMPS, EMPTY, HEATER], summary_ms=2)]}


def log_files(directory):
    return sorted(name for name in os.listdir(directory) if kvx_e2e.is_log(name))


def wait_until(condition, timeout=GENEROUS, step=0.002):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(step)
    return True


class Logger:
    """The program logging into `logs`, its output collected as it comes."""

    def __init__(self, test, workdir, logs, args):
        scenario = os.path.join(workdir, "scenario.json")
        if not os.path.exists(scenario):
            with open(scenario, "w") as f:
                json.dump(FAST_STRIP, f)
        command = [kvx_e2e.BINARY, "--headless", "--log-dir=" + logs, "--scenario=" + scenario] + args
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        test.addCleanup(self.kill)
        self.out, self.err = [], []
        self.readers = [threading.Thread(target=self._collect, args=(s, sink), daemon=True)
                        for s, sink in ((self.process.stdout, self.out), (self.process.stderr, self.err))]
        for reader in self.readers:
            reader.start()

    @staticmethod
    def _collect(stream, sink):
        for line in iter(stream.readline, b""):
            sink.append(line.decode(errors="replace"))

    def said(self, text, on="err"):
        return any(text in line for line in (self.err if on == "err" else self.out))

    def wait_said(self, text, on="err"):
        return wait_until(lambda: self.said(text, on), step=0.01)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        code = self.process.wait(timeout=GENEROUS)
        self._close()
        return code

    def _close(self):
        for reader in self.readers:
            reader.join(timeout=GENEROUS)
        self.process.stdout.close()
        self.process.stderr.close()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=GENEROUS)
        if not self.process.stdout.closed:
            self._close()


class FaultTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kvx-faults-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.logs = os.path.join(self.dir, "logs")
        os.mkdir(self.logs)

    def mount_small_disk(self, size):
        if os.geteuid() != 0:
            self.skipTest("disk full needs a small tmpfs, which only root can mount: not root here")
        done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s" % size, "tmpfs", self.logs],
                              capture_output=True, text=True)
        if done.returncode != 0:
            self.skipTest("this machine does not allow mounting a tmpfs: " + done.stderr.strip())
        self.addCleanup(subprocess.run, ["umount", "-l", self.logs])

    def check_every_file(self, directory):
        """Every entry is a log file (whole header, whole records, at least one) or the
        event journal (whole JSON lines). Returns the record count."""
        records = 0
        for name in sorted(os.listdir(directory)):
            if name == "filler" or name.endswith(".lock"):
                continue  # the test's own, filling the disk; the strip's lock
            if name == JOURNAL:
                self.check_journal(os.path.join(directory, name))
                continue
            if name.startswith("kvx-energy-"):
                kvx_e2e.check_ledger_file(self, os.path.join(directory, name))
                continue
            m = NAME.match(name)
            self.assertIsNotNone(m, "not a log file: %s" % name)
            with open(os.path.join(directory, name), "rb") as f:
                content = f.read()
            self.assertGreater(len(content), 0, "empty file " + name)
            lines = check_whole_file(self, content, m.group(2))
            self.assertRegex(content.splitlines(keepends=True)[4], IDENTITY_LINE)
            self.assertGreater(len(lines), 0, "no record in " + name)
            records += len(lines)
        return records

    def check_journal(self, path):
        with open(path, "rb") as f:
            text = f.read()
        self.assertTrue(text.endswith(b"\n"), text[-200:])
        for line in text.split(b"\n")[:-1]:
            self.assertIsInstance(json.loads(line), dict, line)

    def check_headed_while_running(self, directory):
        """The part of each file that never changes once it has its name: six header lines and a record."""
        for name in filter(lambda p: kvx_e2e.is_log(os.path.basename(p)), glob.glob(os.path.join(directory, "*.csv"))):
            with open(name, "rb") as f:
                lines = f.read().splitlines(keepends=True)
            unit = NAME.match(os.path.basename(name)).group(2)
            self.assertEqual(lines[:4], HEADER_LINES + [UNIT_LINE[unit]], name)
            self.assertEqual(lines[5], COLUMNS_LINE, name)
            self.assertGreaterEqual(len(lines), 7, name)

    def fill_disk_then_free_it(self, args):
        self.mount_small_disk("128k")
        filler = os.path.join(self.logs, "filler")
        with open(filler, "wb") as f:
            f.write(b"x" * 96 * 1024)  # about 32 KiB left for the logs
        logger = Logger(self, self.dir, self.logs, args)
        self.assertTrue(logger.wait_said("Logging is failing: "), logger.err[-5:])
        self.assertTrue(logger.wait_said("LOG FAILING: ", on="out"), logger.out[-3:])
        self.check_headed_while_running(self.logs)  # while full, too: no empty or short files
        # Room again, and plenty of it, so that the disk does not fill up anew before the stop.
        subprocess.run(["mount", "-o", "remount,size=64m", self.logs], check=True)
        self.assertTrue(logger.wait_said("Logging works again."), logger.err[-5:])
        self.assertEqual(logger.stop(), 0, logger.err[-5:])
        self.assertEqual(sum("Logging is failing" in line for line in logger.err), 1, logger.err[-5:])
        self.assertEqual(sum("Logging works again." in line for line in logger.err), 1, logger.err[-5:])
        self.assertGreater(self.check_every_file(self.logs), 0)
        return log_files(self.logs)

    def test_disk_full_with_one_file(self):
        files = self.fill_disk_then_free_it(["1A2B3", "0", "1", "1", "0"])
        self.assertEqual(len(files), 1, files)

    def test_disk_full_while_splitting_every_record(self):
        files = self.fill_disk_then_free_it(["1A2B3", "0", "0", "2", "0"])
        self.assertGreater(len(files), 1, files)

    def test_directory_removed_then_made_again_and_then_replaced(self):
        # The log directory is reached through a symbolic link, so that the
        # test can replace it in one step (as the program sees it, the name
        # then stands for another directory). It is removed in one step too,
        # by a rename, so that the program cannot put a new file into it while
        # it is being emptied; once gone, the two are the same to the program.
        first, second = self.logs + "-1", self.logs + "-2"
        os.rmdir(self.logs)
        os.mkdir(first)
        os.symlink(first, self.logs)
        logger = Logger(self, self.dir, self.logs, ["1A2B3", "0", "1", "1", "0"])
        self.assertTrue(wait_until(lambda: glob.glob(os.path.join(first, "*.csv"))))
        os.rename(first, first + "-removed")
        self.assertTrue(logger.wait_said("Logging is failing: log directory gone: " + self.logs), logger.err[-5:])
        self.assertTrue(logger.wait_said("LOG FAILING: log directory gone", on="out"), logger.out[-3:])
        os.mkdir(first)
        self.assertTrue(logger.wait_said("Logging works again."), logger.err[-5:])
        self.assertTrue(wait_until(lambda: glob.glob(os.path.join(first, "*.csv"))))

        os.mkdir(second)
        os.symlink(second, self.logs + ".new")
        os.replace(self.logs + ".new", self.logs)
        self.assertTrue(logger.wait_said("Logging is failing: log directory replaced: " + self.logs), logger.err[-5:])
        self.assertTrue(wait_until(lambda: glob.glob(os.path.join(second, "*.csv"))))
        self.assertEqual(logger.stop(), 0, logger.err[-5:])
        self.assertEqual(sum("Logging works again." in line for line in logger.err), 2, logger.err[-5:])
        for directory in (first + "-removed", first, second):
            self.assertEqual(len(log_files(directory)), 1, directory)
            self.check_every_file(directory)

    def test_sigkill_at_a_hundred_random_moments_while_splitting_every_record(self):
        if os.geteuid() == 0:
            self.mount_small_disk("64m")  # no disk wear, and quicker; the plain directory does as well
        seed = int(os.environ.get("KVX_FAULT_SEED", time.time_ns() % 1000000))
        rng = random.Random(seed)
        for run in range(100):
            logger = Logger(self, self.dir, self.logs, ["1A2B3", "0", "0", "2", "0"])
            if run % 4 == 0:
                time.sleep(rng.uniform(0, 0.1))  # perhaps while it starts
            else:
                before = len(log_files(self.logs))
                self.assertTrue(wait_until(lambda: len(log_files(self.logs)) > before))
                time.sleep(rng.uniform(0, 0.05))
            logger.process.send_signal(signal.SIGKILL)
            self.assertEqual(logger.process.wait(timeout=GENEROUS), -signal.SIGKILL)
        self.assertGreater(self.check_every_file(self.logs), 0, "seed %d" % seed)


if __name__ == "__main__":
    kvx_e2e.main()
