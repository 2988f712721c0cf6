"""End to end with a real Prometheus server: Debian's `prometheus` scrapes a
headless client once a second on loopback while the client logs power to CSV
under known loads (one changing, the strip unplugged near the end). The values
Prometheus stored must be the CSV records of the same moments, `up` must be 1,
the unplugged strip must show as disconnected, and `promtool check metrics`
must accept the endpoint's text. Exits 77 (a skip) when the package is missing."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scenarios"))
import kvx_e2e  # noqa: E402
from kvx_e2e import HeadlessRun, NAME, check_whole_file, free_port, strip, wait_until  # noqa: E402

SKIP = 77
PROMETHEUS = shutil.which("prometheus")
PROMTOOL = shutil.which("promtool")
SERIAL = 0x1A2B3
UNPLUG_MS = 14000


def http_get(url, timeout=5):
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.status, response.headers.get("Content-Type"), response.read().decode()


class Prometheus:
    """A private Prometheus on loopback with its own storage, scraping one target every second."""

    def __init__(self, test, target_port):
        self.dir = tempfile.mkdtemp(prefix="kvx-prom-")
        test.addCleanup(lambda: shutil.rmtree(self.dir, ignore_errors=True))
        config = os.path.join(self.dir, "prometheus.yml")
        with open(config, "w") as f:
            json.dump({"global": {"scrape_interval": "1s", "scrape_timeout": "900ms", "evaluation_interval": "1s"},
                       "scrape_configs": [{"job_name": "kvx",
                                           "static_configs": [{"targets": ["127.0.0.1:%d" % target_port]}]}]}, f)
        self.port = free_port()
        self.url = "http://127.0.0.1:%d" % self.port
        self.log = open(os.path.join(self.dir, "prometheus.log"), "wb")
        self.process = subprocess.Popen(
            [PROMETHEUS, "--config.file=" + config, "--storage.tsdb.path=" + os.path.join(self.dir, "data"),
             "--web.listen-address=127.0.0.1:%d" % self.port], stdout=self.log, stderr=subprocess.STDOUT)
        test.addCleanup(self.stop)
        wait_until(self.ready, 90, "Prometheus to be ready")
        # Targets reach the scrape loop a few seconds after readiness; the
        # client starts only once its target is there, so no second goes unscraped.
        wait_until(lambda: json.loads(http_get(self.url + "/api/v1/targets")[2])["data"]["activeTargets"], 60,
                   "Prometheus to take up its target")

    def ready(self):
        if self.process.poll() is not None:
            raise AssertionError("prometheus exited: " + open(self.log.name).read()[-2000:])
        try:
            return http_get(self.url + "/-/ready")[0] == 200
        except OSError:
            return False

    def query(self, expr, at):
        """The instant vector of `expr` at Unix time `at`: {outlet or "": value}."""
        query = urllib.parse.urlencode({"query": expr, "time": "%.3f" % at})
        body = json.loads(http_get(self.url + "/api/v1/query?" + query)[2])
        assert body["status"] == "success", body
        return {r["metric"].get("outlet", ""): float(r["value"][1]) for r in body["data"]["result"]}

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.log.close()


class PrometheusEndToEndTest(unittest.TestCase):
    def test_prometheus_stores_the_logged_values_and_sees_the_unplug(self):
        client_port = free_port()
        prometheus = Prometheus(self, client_port)
        scenario = {
            "strips": [strip(SERIAL, [{"type": "heater", "watts": 1200}, {"type": "smps", "watts": 180},
                                      {"type": "empty"}, {"type": "heater", "watts": 600}], summary_ms=100)],
            "timeline": [{"atMs": 7000, "event": "load", "serial": SERIAL, "outlet": 2,
                          "load": {"type": "heater", "watts": 300}},
                         {"atMs": UNPLUG_MS, "event": "unplug", "serial": SERIAL}],
        }
        # Power logged every second; the endpoint on loopback (the port alone).
        run = HeadlessRun(self, ["--metrics=%d" % client_port, "1A2B3", "1", "3600", "1", "1"],
                          scenario=scenario, duration=UNPLUG_MS / 1000 + 5)
        self.addCleanup(lambda: run.process.poll() is None and run.process.kill())
        endpoint = "http://127.0.0.1:%d/metrics" % client_port

        def connected_text():
            try:
                status, content_type, text = http_get(endpoint)
            except OSError:
                return None
            self.assertEqual(content_type, "text/plain; version=0.0.4; charset=utf-8")
            return text if "kvx_outlet_power_watts" in text else None
        text = wait_until(connected_text, 30, "the endpoint to show power readings")
        lint = subprocess.run([PROMTOOL, "check", "metrics"], input=text.encode(), capture_output=True)
        self.assertEqual(lint.returncode, 0, lint.stdout.decode() + lint.stderr.decode() + text)

        self.assertEqual(run.wait(timeout=90), 0, run.stderr)
        ended = time.time()
        self.assertIn("Metrics at http://127.0.0.1:%d/metrics." % client_port, run.stdout)
        files = run.files()
        self.assertEqual(len(files), 1, files)
        self.assertEqual(NAME.match(files[0]).group(2), "W")
        records = []
        for line in check_whole_file(self, run.read(files[0]), "W"):
            fields = line.decode().rstrip("\r\n").split(",")
            at = time.mktime(time.strptime(fields[0], "%Y/%m/%d %H:%M:%S"))
            records.append((at, tuple(int(v) for v in fields[2:6])))

        # A record stands for its second; Prometheus's latest sample half a
        # second after that second holds a reading of it or of the next one.
        # Compared are the records whose neighbours agree with them, so the
        # load change cannot fall between record and sample.
        compared = []
        for previous, (at, values), following in zip(records, records[1:], records[2:]):
            if previous[1] != values or following[1] != values:
                continue
            stored = prometheus.query('kvx_outlet_power_watts{serial="01A2B3"}', at + 1.5)
            self.assertEqual(sorted(stored), ["1", "2", "3", "4"], (at, stored))
            for outlet in range(4):
                # The CSV holds whole watts; Prometheus the reading as sent.
                self.assertLessEqual(abs(stored[str(outlet + 1)] - values[outlet]), 0.5, (at, stored, values))
            self.assertEqual(prometheus.query('up{job="kvx"}', at + 1.5), {"": 1.0})
            self.assertEqual(prometheus.query('kvx_strip_connected{serial="01A2B3"}', at + 1.5), {"": 1.0})
            compared.append(values)
        self.assertGreaterEqual(len(compared), 6, records)
        self.assertEqual({v[0] for v in compared}, {1200})
        self.assertEqual({v[1] for v in compared}, {180, 300})  # both sides of the load change

        # Unplugged: the last scrapes before the client stopped show it.
        last_record = records[-1][0]
        unplugged_at = wait_until(
            lambda: next((t for t in (last_record + 2 + i * 0.5 for i in range(20)) if t < ended and
                          prometheus.query('kvx_strip_connected{serial="01A2B3"}', t) == {"": 0.0}), None),
            30, "kvx_strip_connected 0 after the unplug")
        self.assertEqual(prometheus.query('kvx_outlet_power_watts{serial="01A2B3"}', unplugged_at), {})
        self.assertEqual(prometheus.query('up{job="kvx"}', unplugged_at), {"": 1.0})
        self.assertEqual(prometheus.query('kvx_connections_total{serial="01A2B3"}', unplugged_at), {"": 1.0})


def main():
    if not PROMETHEUS or not PROMTOOL:
        print("SKIP: Debian's prometheus package (prometheus, promtool) is not installed")
        sys.exit(SKIP)
    kvx_e2e.BINARY = None
    kvx_e2e.main()


if __name__ == "__main__":
    main()
