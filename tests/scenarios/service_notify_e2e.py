"""The headless logger under a service manager's notify socket: READY once the
strips are listed, STATUS with the status line, WATCHDOG while the acquisition
thread makes progress (and not while a stall holds it up for longer than the
watchdog interval), STOPPING on SIGTERM. The socket is this test's own."""
import os
import signal
import socket
import tempfile
import time
import unittest

import kvx_e2e
from kvx_e2e import HEATER, EMPTY, HeadlessRun, strip

WATCHDOG_SEC = 1.0


class NotifySocket:
    """A datagram socket that gathers (monotonic time, message) pairs."""

    def __init__(self, test):
        self.dir = tempfile.mkdtemp(prefix="kvx-notify-")
        self.path = os.path.join(self.dir, "notify")
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.path)
        test.addCleanup(self.close)
        self.messages = []

    def close(self):
        self.sock.close()
        os.unlink(self.path)
        os.rmdir(self.dir)

    def gather_until(self, done, timeout):
        """Reads messages until done(messages) holds or the time-out passes."""
        deadline = time.monotonic() + timeout
        while not done(self.messages):
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            self.sock.settimeout(min(left, 0.2))
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            now = time.monotonic()
            for line in data.decode().split("\n"):
                if line:
                    self.messages.append((now, line))
        return True

    def times(self, prefix):
        return [t for t, m in self.messages if m.startswith(prefix)]


def environment(notify):
    env = dict(os.environ)
    env["NOTIFY_SOCKET"] = notify.path
    env["WATCHDOG_USEC"] = str(int(WATCHDOG_SEC * 1e6))
    env.pop("WATCHDOG_PID", None)
    return env


class ServiceNotifyTest(unittest.TestCase):
    def test_ready_status_watchdog_and_stopping(self):
        notify = NotifySocket(self)
        run = HeadlessRun(self, ["1A2B3", "1", "0", "1", "0"],
                          {"strips": [strip("0x1A2B3", [HEATER, EMPTY, EMPTY, EMPTY])]}, env=environment(notify))
        self.assertTrue(notify.gather_until(lambda m: len(notify.times("WATCHDOG=1")) >= 4
                                            and notify.times("STATUS="), 30), notify.messages)
        run.process.send_signal(signal.SIGTERM)
        self.assertTrue(notify.gather_until(lambda m: notify.times("STOPPING=1"), 10), notify.messages)
        self.assertEqual(run.wait(), 0, run.stderr)

        ready = notify.times("READY=1")
        self.assertEqual(len(ready), 1)
        watchdogs = notify.times("WATCHDOG=1")
        self.assertLessEqual(ready[0], watchdogs[1])
        # Fed at about half the interval, never a whole interval apart.
        gaps = [b - a for a, b in zip(watchdogs, watchdogs[1:])]
        self.assertLess(max(gaps), WATCHDOG_SEC, gaps)
        statuses = [m for _, m in notify.messages if m.startswith("STATUS=")]
        self.assertTrue(any(s.startswith("STATUS=S/N=1A2B3 |") for s in statuses), statuses)
        self.assertEqual(notify.messages[-1][1], "STOPPING=1")

    def test_watchdog_stops_while_a_stall_holds_the_thread_up(self):
        notify = NotifySocket(self)
        stall_ms = 4000
        scenario = {"strips": [strip("0x1A2B3", [HEATER, EMPTY, EMPTY, EMPTY])],
                    "timeline": [{"atMs": 1500, "event": "stall", "serial": "0x1A2B3", "durationMs": stall_ms}]}
        run = HeadlessRun(self, ["1A2B3", "1", "0", "1", "0"], scenario, env=environment(notify))
        # Long enough for the stall to begin, to end, and for readings to come back.
        self.assertTrue(notify.gather_until(lambda m: m and m[-1][0] - m[0][0] > 1.5 + stall_ms / 1000 + 2.5, 40),
                        notify.messages)
        run.process.send_signal(signal.SIGTERM)
        self.assertEqual(run.wait(), 0, run.stderr)
        watchdogs = notify.times("WATCHDOG=1")
        gaps = [b - a for a, b in zip(watchdogs, watchdogs[1:])]
        # One gap covers the stall: longer than the interval, so a service
        # manager would have restarted the logger; it is fed again afterwards.
        self.assertGreater(max(gaps), WATCHDOG_SEC * 2, gaps)
        self.assertGreater(watchdogs[-1] - (watchdogs[0] + max(gaps)), 0)
        late = [g for g in gaps if g > WATCHDOG_SEC]
        self.assertEqual(len(late), 1, gaps)

    def test_without_notify_socket_nothing_changes(self):
        env = dict(os.environ)
        env.pop("NOTIFY_SOCKET", None)
        run = HeadlessRun(self, ["1A2B3", "1", "0", "1", "0"],
                          {"strips": [strip("0x1A2B3", [HEATER, EMPTY, EMPTY, EMPTY])]}, duration=2, env=env)
        self.assertEqual(run.wait(), 0, run.stderr)
        self.assertIn("Polling S/N=1A2B3", run.stdout)


if __name__ == "__main__":
    kvx_e2e.main()
