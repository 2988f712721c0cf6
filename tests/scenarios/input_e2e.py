"""End-to-end runs of `kvxclient --headless` with input that tries to crash or
block it (scenario and trace files), with signals in order (SIGHUP, a status
reader that goes away, a stop during start-up), and with outside text that
holds control characters."""
import os
import queue
import re
import resource
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import kvx_e2e
from kvx_e2e import check_whole_file

TRACE_LINE = re.compile(r"^\d+\.\d{3} sn=(-|[0-9A-F]{5,}) on=(iface|pipe|-) "
                        r"(ctl=\w+ code=[0-9A-F]{8} (setup=[0-9A-F:]+|in=\S+) result=(ok|fail) returned=\d+ reply=\S+|"
                        r"read status=\w+ bytes=\d+ data=\S+) seq=\d+$")
PATIENCE = 60  # seconds; generous, the machine is shared


class Program:
    """The program with its output read line by line as it comes."""

    def __init__(self, test, args, cwd, preexec_fn=None, stdout_lines=None):
        """stdout_lines: read that many lines of stdout, then close it (as `| head -N`)."""
        self.process = subprocess.Popen([kvx_e2e.BINARY, "--headless"] + args, cwd=cwd, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, preexec_fn=preexec_fn)
        test.addCleanup(self.kill)
        self.lines = {"out": queue.Queue(), "err": queue.Queue()}
        self.seen = {"out": [], "err": []}
        self.pumps = [threading.Thread(target=self._pump, args=(stream, self.lines[name], limit), daemon=True)
                      for name, stream, limit in (("out", self.process.stdout, stdout_lines),
                                                  ("err", self.process.stderr, None))]
        for pump in self.pumps:
            pump.start()

    @staticmethod
    def _pump(stream, lines, limit):
        count = 0
        for line in iter(stream.readline, b""):
            lines.put(line)
            count += 1
            if count == limit:
                break
        stream.close()
        lines.put(None)

    def wait_for(self, name, pattern, timeout=PATIENCE):
        """The first line of stdout ("out") or stderr ("err") that contains pattern."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = self.lines[name].get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                break
            if line is None:
                break
            self.seen[name].append(line)
            if pattern in line:
                return line
        raise AssertionError("no %r on std%s; seen: %r" % (pattern, name, self.seen[name][-5:]))

    def finish(self, timeout=PATIENCE):
        status = self.process.wait(timeout=timeout)
        for name in ("out", "err"):
            while True:
                line = self.lines[name].get(timeout=timeout)
                if line is None:
                    break
                self.seen[name].append(line)
        return status

    def text(self, name):
        return b"".join(self.seen[name])

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        for pump in self.pumps:
            pump.join(timeout=PATIENCE)


def wait_until(condition, timeout=PATIENCE):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.05)
    return False


class InputTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kvx-input-")
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", self.dir]))

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)
        return self.path(name)

    def csv_files(self):
        return sorted(n for n in os.listdir(self.dir) if kvx_e2e.is_log(n))

    def assert_option_error(self, args, message):
        """Exit status 2 at once, the message on stderr, nothing logged."""
        run = Program(self, args + ["1A2B3", "0", "0", "1", "0"], self.dir)
        self.assertEqual(run.finish(), 2, run.text("err"))
        self.assertIn(message, run.text("err").decode())
        self.assertEqual(self.csv_files(), [])

    def test_scenarios_that_crashed_or_blocked_are_option_errors(self):
        fifo = self.path("scenario.fifo")
        os.mkfifo(fifo)  # nobody writes it: reading it used to block start-up
        big = self.write("big.json", '{"strips": []}')
        os.truncate(big, 4 * 1024 * 1024 + 1)
        cases = [
            (fifo, "is a FIFO, not a regular file"),
            ("/dev/zero", "is a character device, not a regular file"),
            (self.dir, "is a directory, not a regular file"),
            (big, "is larger than 4194304 bytes"),
            (self.write("long.json", '{"strips": [{"serial": 1, "pathLength": 3000000000}]}'),
             "strips[0].pathLength: must be at most 32767"),
            (self.write("longest.json", '{"strips": [{"serial": 1, "pathLength": 18446744073709551615}]}'),
             "strips[0].pathLength: must be at most 32767"),
            (self.write("twice.json", '{"strips": [{"serial": 1, "on": true, "on": false}]}'),
             "strips[0].on: duplicate key"),
            (self.write("bad.json", '{"strips": [{"serial": true}]}'), "strips[0].serial: expected an unsigned integer"),
        ]
        for scenario, message in cases:
            with self.subTest(scenario=scenario):
                self.assert_option_error(["--scenario=" + scenario], message)

    def test_a_trace_that_cannot_be_written_is_an_option_error(self):
        fifo = self.path("trace.fifo")
        os.mkfifo(fifo)  # nobody reads it: opening it used to block start-up
        for trace, message in [("/dev/full", "No space left on device"),
                               (self.path("missing/trace.txt"), "No such file or directory"),
                               (fifo, "no process reads the FIFO")]:
            with self.subTest(trace=trace):
                self.assert_option_error(["--trace=" + trace], message)

    def test_a_trace_that_fills_up_ends_with_whole_lines_and_is_said_once(self):
        # A file-size limit stands in for a full disk: the write that crosses
        # it gets only part of its line out, the next ones nothing.
        limit = 20000

        def limit_file_size():
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)

        trace = self.path("trace.txt")
        scenario = self.write("fast.json", '{"strips": [{"serial": "0x1A2B3", "summaryIntervalMs": 10}]}')
        run = Program(self, ["--trace=" + trace, "--scenario=" + scenario, "1A2B3"], self.dir,
                      preexec_fn=limit_file_size)
        run.wait_for("err", b"the trace ends with its last whole line")
        run.wait_for("out", b"S/N=1A2B3 | ")  # still running and polling after the failure
        run.process.send_signal(signal.SIGTERM)
        self.assertEqual(run.finish(), 0, run.text("err"))
        self.assertEqual(run.text("err").count(b"trace file"), 1, run.text("err"))
        with open(trace, "rb") as f:
            content = f.read()
        self.assertGreater(len(content), limit - 300)
        self.assertLessEqual(len(content), limit)
        self.assertTrue(content.endswith(b"\n"))
        for line in content.decode().splitlines():
            self.assertRegex(line, TRACE_LINE)

    def test_sighup_stops_in_order_like_sigterm(self):
        run = Program(self, ["1A2B3", "0", "0", "1", "0"], self.dir)
        run.wait_for("out", b"| logging ./1A2B3_ALL_A_")
        run.process.send_signal(signal.SIGHUP)
        self.assertEqual(run.finish(), 0, run.text("err"))
        self.assertIn(b"Stopping on SIGHUP: acquisition thread first, then the log files.", run.text("out"))
        self.assertIn(b"Stopped; log files flushed and closed.", run.text("out"))
        files = self.csv_files()
        self.assertEqual(len(files), 1, files)
        with open(self.path(files[0]), "rb") as f:
            self.assertGreater(len(check_whole_file(self, f.read(), "A")), 0)

    def test_a_status_reader_that_goes_away_stops_the_status_not_the_logging(self):
        # As `kvxclient --headless ... | head -1`: the reader takes one line and leaves.
        run = Program(self, ["1A2B3", "0", "0", "1", "0"], self.dir, stdout_lines=1)
        run.wait_for("out", b"Polling S/N=1A2B3.")
        run.wait_for("err", b"Status output stopped: standard output cannot be written (Broken pipe); logging goes on.")
        self.assertTrue(wait_until(lambda: self.csv_files()))
        files = self.csv_files()
        self.assertEqual(len(files), 1, files)
        size = os.path.getsize(self.path(files[0]))
        self.assertTrue(wait_until(lambda: os.path.getsize(self.path(files[0])) > size + 500), "logging went on")
        run.process.send_signal(signal.SIGTERM)
        self.assertEqual(run.finish(), 0, run.text("err"))
        self.assertEqual(run.text("err").count(b"Status output stopped"), 1)
        with open(self.path(files[0]), "rb") as f:
            check_whole_file(self, f.read(), "A")

    def test_a_stop_signal_at_start_up_is_honoured(self):
        # However early SIGINT comes, the program ends promptly: killed by it
        # before its handlers are in place, else stopping in order.
        for delay in (0.0, 0.01, 0.05, 0.2):
            with self.subTest(delay=delay):
                run = Program(self, ["1A2B3", "0", "0", "1", "0"], self.dir)
                time.sleep(delay)
                run.process.send_signal(signal.SIGINT)
                status = run.finish()
                self.assertIn(status, (0, -signal.SIGINT), run.text("err"))
                if status == 0:
                    self.assertIn(b"Stopping on SIGINT", run.text("out"))

    def test_outside_text_is_printed_with_control_characters_escaped(self):
        logs = self.path("logs\x1b[31m\nred")
        os.mkdir(logs)
        run = Program(self, ["--log-dir=" + logs, "--duration=60", "1A2B3", "0", "0", "1", "0"], self.dir)
        line = run.wait_for("out", b"| logging ")
        self.assertIn(b"logs\\x1b[31m\\x0ared/1A2B3_ALL_A_", line)
        run.process.send_signal(signal.SIGTERM)
        self.assertEqual(run.finish(), 0, run.text("err"))
        self.assertNotIn(b"\x1b", run.text("out"))
        self.assertNotIn(b"\x1b", run.text("err"))
        self.assert_option_error(["--scenario=" + self.path("no\x1b]0;title\x07such.json")],
                                 "no\\x1b]0;title\\x07such.json")


if __name__ == "__main__":
    kvx_e2e.main()
