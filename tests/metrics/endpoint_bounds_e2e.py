#!/usr/bin/env python3
"""The metrics endpoint under clients that try to hurt it, against the real
headless client on loopback (descriptors limited to 1,024 as a service has
them): idle connections by the thousand, dripping requests, huge headers and
bodies, a kept-alive connection at a stop, and scrapers at the documented
interval. Every attack is bounded in count and time. The records must go on,
scrapes must be answered, a stop must be prompt, memory must stay flat.

Usage: endpoint_bounds_e2e.py --binary PATH [unittest args]
SCRAPE_SECONDS (environment) sets how long the scrapers run (default 20)."""
import http.client
import json
import os
import resource
import signal
import socket
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scenarios"))
import kvx_e2e  # noqa: E402
from kvx_e2e import HEATER, EMPTY, HeadlessRun, free_port, strip  # noqa: E402


# A stop's bound: 200 ms, more under a sanitizer, which slows every thread by
# an order of magnitude (the figures come from the plain build).
SANITIZED = bool(os.environ.get("ASAN_OPTIONS") or os.environ.get("TSAN_OPTIONS"))
STOP_BOUND = 2.0 if SANITIZED else 0.2
SCRAPE_BOUND = 3.0 if SANITIZED else 1.0


def limit_descriptors():
    resource.setrlimit(resource.RLIMIT_NOFILE, (1024, 1024))


class Endpoint:
    """The headless client logging power every second with --metrics on a free port."""

    def __init__(self, test):
        self.port = free_port()
        self.test = test
        scenario = {"strips": [strip("0x1A2B3", [HEATER, EMPTY, EMPTY, EMPTY], summary_ms=100)]}
        self.run = HeadlessRun(test, ["--metrics=%d" % self.port, "1A2B3", "1", "3600", "1", "1"],
                               scenario=scenario, preexec_fn=limit_descriptors)
        self.run.wait_for_records(2)

    def scrape(self, timeout=SCRAPE_BOUND):
        """One scrape on a new connection; the seconds it took, or None when it failed."""
        start = time.monotonic()
        try:
            c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
            c.request("GET", "/metrics")
            response = c.getresponse()
            ok = response.status == 200 and b"kvx_strip_connected" in response.read()
            c.close()
            return time.monotonic() - start if ok else None
        except OSError:
            return None

    def peak_rss_kb(self):
        with open("/proc/%d/status" % self.run.process.pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
        return 0

    def stop_seconds(self):
        start = time.monotonic()
        self.run.process.send_signal(signal.SIGTERM)
        self.run.process.wait(timeout=30)
        took = time.monotonic() - start
        self.test.assertEqual(self.run.wait(), 0, self.run.stderr)
        return took

    def records_without_gaps(self):
        """Every record of the run, and the largest gap between two (seconds)."""
        stamps = []
        for name in self.run.files():
            for line in self.run.read(name).split(b"\r\n")[6:]:
                if line:
                    stamps.append(time.mktime(time.strptime(line[:19].decode(), "%Y/%m/%d %H:%M:%S")))
        stamps.sort()
        return len(stamps), max((b - a for a, b in zip(stamps, stamps[1:])), default=0)


def figure(name, value):
    print("FIGURE %s: %s" % (name, value), flush=True)


class EndpointBoundsTest(unittest.TestCase):
    def test_a_thousand_idle_connections_take_no_record_and_no_scrape(self):
        endpoint = Endpoint(self)
        held = []
        for _ in range(1000):
            try:
                held.append(socket.create_connection(("127.0.0.1", endpoint.port), timeout=2))
            except OSError:
                pass  # refused or closed at once: the cap at work
        answered, slowest = 0, 0.0
        deadline = time.monotonic() + 15
        time.sleep(3)  # the first connections run out their deadline
        while time.monotonic() < deadline:
            took = endpoint.scrape()
            if took is not None:
                answered += 1
                slowest = max(slowest, took)
            time.sleep(0.5)
        for s in held:
            s.close()
        self.assertLess(endpoint.stop_seconds(), 1)
        records, gap = endpoint.records_without_gaps()
        figure("idle connections held", "%d for 15 s; scrapes answered %d, slowest %.3f s; records %d, largest gap %d s"
               % (len(held), answered, slowest, records, gap))
        self.assertGreaterEqual(answered, 20)
        self.assertLessEqual(gap, 2)  # a record a second: none lost
        self.assertNotIn("Logging is failing", endpoint.run.stderr)

    def test_dripping_requests_neither_starve_scrapes_nor_hold_a_stop(self):
        endpoint = Endpoint(self)
        drippers = []
        for _ in range(200):
            try:
                s = socket.create_connection(("127.0.0.1", endpoint.port), timeout=2)
                s.sendall(b"GET /metrics HTTP/1.1\r\n")
                drippers.append(s)
            except OSError:
                pass
        stop = threading.Event()

        def drip():
            while not stop.wait(0.5):
                for s in drippers:
                    try:
                        s.send(b"X: y\r\n")
                    except OSError:
                        pass
        dripping = threading.Thread(target=drip, daemon=True)
        dripping.start()
        time.sleep(2.5)  # every dripper past its deadline once
        takes = [endpoint.scrape() for _ in range(10)]
        slowest = max((t for t in takes if t is not None), default=None)
        stopped = endpoint.stop_seconds()
        stop.set()
        for s in drippers:
            s.close()
        figure("dripping connections", "%d; scrapes answered %d of 10, slowest %s s; SIGTERM to exit %.3f s"
               % (len(drippers), sum(t is not None for t in takes), slowest, stopped))
        self.assertTrue(all(t is not None and t < SCRAPE_BOUND for t in takes), takes)
        self.assertLess(stopped, STOP_BOUND)

    def test_a_kept_alive_connection_does_not_hold_a_stop(self):
        endpoint = Endpoint(self)
        c = http.client.HTTPConnection("127.0.0.1", endpoint.port, timeout=5)
        c.request("GET", "/metrics")
        response = c.getresponse()
        self.assertEqual(response.status, 200)
        response.read()  # the answer read; the connection stays open
        stopped = endpoint.stop_seconds()
        c.close()
        figure("SIGTERM with a kept-alive connection", "%.3f s" % stopped)
        self.assertLess(stopped, STOP_BOUND)

    def test_a_huge_header_or_body_is_refused_without_memory(self):
        endpoint = Endpoint(self)
        before = endpoint.peak_rss_kb()
        chunk = b"a" * (1 << 20)
        answers = []
        for head in (b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: ",
                     b"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 268435456\r\n\r\n"):
            s = socket.create_connection(("127.0.0.1", endpoint.port), timeout=5)
            sent = 0
            try:
                s.sendall(head)
                while sent < 256 << 20:
                    s.sendall(chunk)
                    sent += len(chunk)
            except OSError:
                pass  # the server stopped reading and closed: refused
            try:
                answers.append(s.recv(64).split(b"\r\n")[0].decode())
            except OSError:
                answers.append("closed")
            s.close()
        growth = endpoint.peak_rss_kb() - before
        self.assertLess(endpoint.stop_seconds(), 1)
        figure("256 MB header and body", "answers %s; peak RSS growth %d kB" % (answers, growth))
        self.assertTrue(all(a.startswith("HTTP/1.1 4") or a in ("", "closed") for a in answers), answers)
        self.assertLess(growth, 4096)

    def test_scrapers_at_the_documented_interval_never_time_out(self):
        endpoint = Endpoint(self)
        seconds = float(os.environ.get("SCRAPE_SECONDS", "20"))
        results = []
        lock = threading.Lock()

        def scraper(offset):
            # Keep-alive as Prometheus does: the kept connection, or a new
            # one when the server has closed it (Go's client retries so).
            time.sleep(offset)
            connection = None
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                start = time.monotonic()
                ok = False
                for _ in range(2):
                    try:
                        if connection is None:
                            connection = http.client.HTTPConnection("127.0.0.1", endpoint.port, timeout=4)
                        connection.request("GET", "/metrics")
                        response = connection.getresponse()
                        ok = response.status == 200 and bool(response.read())
                        break
                    except (OSError, http.client.HTTPException):
                        connection = None
                with lock:
                    results.append(ok and time.monotonic() - start < 4)
                time.sleep(max(0.0, 5 - (time.monotonic() - start)))
        threads = [threading.Thread(target=scraper, args=(k * 1.7,)) for k in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertLess(endpoint.stop_seconds(), 1)
        figure("3 keep-alive scrapers at 5 s / 4 s", "%g s: %d scrapes, %d timeouts"
               % (seconds, len(results), results.count(False)))
        self.assertTrue(results and all(results), results)


if __name__ == "__main__":
    kvx_e2e.main()
