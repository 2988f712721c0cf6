#!/usr/bin/env python3
"""The metrics endpoint with a web configuration: TLS with a certificate made
here (openssl), users with bcrypt hashes (the system's crypt), a client
certificate when asked for, and the real Prometheus scraping over TLS with
basic authentication. A configuration that cannot be used stops the client
with exit status 2. Exits 77 (a skip) when prometheus or openssl is missing.

Usage: endpoint_tls_e2e.py --binary PATH [unittest args]"""
import http.client
import json
import os
import shutil
import ssl
import subprocess
import sys
import tempfile
import unittest
import urllib.request
import warnings

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scenarios"))
import kvx_e2e  # noqa: E402
from kvx_e2e import HeadlessRun, free_port, wait_until  # noqa: E402

with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import crypt  # noqa: E402

PROMETHEUS = shutil.which("prometheus")
OPENSSL = shutil.which("openssl")


class Pki:
    """A CA, a server certificate for 127.0.0.1 and a client certificate, all signed by the CA."""

    def __init__(self, test):
        self.dir = tempfile.mkdtemp(prefix="kvx-tls-")
        test.addCleanup(lambda: shutil.rmtree(self.dir, ignore_errors=True))
        self.ca = self.path("ca.crt")
        self.run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=kvx test CA",
                 "-keyout", self.path("ca.key"), "-out", self.ca)
        for name, extra in (("server", "subjectAltName=IP:127.0.0.1"), ("client", "extendedKeyUsage=clientAuth")):
            self.run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name,
                     "-keyout", self.path(name + ".key"), "-out", self.path(name + ".csr"))
            with open(self.path(name + ".ext"), "w") as f:
                f.write(extra + "\n")
            self.run("x509", "-req", "-in", self.path(name + ".csr"), "-CA", self.ca, "-CAkey", self.path("ca.key"),
                     "-CAcreateserial", "-days", "2", "-extfile", self.path(name + ".ext"),
                     "-out", self.path(name + ".crt"))

    def path(self, name):
        return os.path.join(self.dir, name)

    def run(self, *args):
        subprocess.run([OPENSSL, *args], check=True, capture_output=True, timeout=60)

    def context(self, client_cert=False):
        context = ssl.create_default_context(cafile=self.ca)
        if client_cert:
            context.load_cert_chain(self.path("client.crt"), self.path("client.key"))
        return context


@unittest.skipUnless(OPENSSL, "openssl is not installed")
class EndpointTlsTest(unittest.TestCase):
    def start(self, pki, config_text):
        config = pki.path("web.yml")
        with open(config, "w") as f:
            f.write(config_text)
        port = free_port()
        run = HeadlessRun(self, ["--metrics=%d" % port, "--metrics-web-config=" + config, "1A2B3", "1", "3600",
                                 "1", "1"])
        run.wait_for_output("Metrics at https://127.0.0.1:%d/metrics" % port)
        return run, port

    def get(self, pki, port, auth=None, client_cert=False):
        c = http.client.HTTPSConnection("127.0.0.1", port, timeout=10, context=pki.context(client_cert))
        headers = {}
        if auth:
            import base64
            headers["Authorization"] = "Basic " + base64.b64encode(("%s:%s" % auth).encode()).decode()
        c.request("GET", "/metrics", headers=headers)
        response = c.getresponse()
        body = response.read().decode()
        c.close()
        return response.status, response.getheader("WWW-Authenticate"), body

    def test_tls_with_basic_auth_and_the_real_prometheus(self):
        pki = Pki(self)
        hashed = crypt.crypt("s3cret", crypt.mksalt(crypt.METHOD_BLOWFISH, rounds=16))
        run, port = self.start(pki, "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                                    "basic_auth_users:\n  prometheus: '%s'\n" % hashed)
        self.assertEqual(self.get(pki, port)[:2], (401, 'Basic realm="kvxclient"'))
        self.assertEqual(self.get(pki, port, ("prometheus", "wrong"))[0], 401)
        status, _, body = self.get(pki, port, ("prometheus", "s3cret"))
        self.assertEqual(status, 200)
        self.assertIn("kvx_strip_connected", body)
        with self.assertRaises(OSError):  # plain HTTP on the TLS port gets no answer
            c = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
            c.request("GET", "/metrics")
            c.getresponse()
        if PROMETHEUS:
            self.assertEqual(self.prometheus_up(pki, port, "s3cret"), "1")
            self.assertEqual(self.prometheus_up(pki, port, "wrong"), "0")
        self.assertEqual(run.stop(), 0, run.stderr)

    def prometheus_up(self, pki, port, password):
        directory = tempfile.mkdtemp(prefix="kvx-prom-tls-")
        self.addCleanup(lambda: shutil.rmtree(directory, ignore_errors=True))
        config = os.path.join(directory, "prometheus.yml")
        with open(config, "w") as f:
            json.dump({"global": {"scrape_interval": "1s", "scrape_timeout": "900ms"},
                       "scrape_configs": [{"job_name": "kvx", "scheme": "https",
                                           "tls_config": {"ca_file": pki.ca},
                                           "basic_auth": {"username": "prometheus", "password": password},
                                           "static_configs": [{"targets": ["127.0.0.1:%d" % port]}]}]}, f)
        web = free_port()
        log = open(os.path.join(directory, "prometheus.log"), "wb")
        prometheus = subprocess.Popen([PROMETHEUS, "--config.file=" + config,
                                       "--storage.tsdb.path=" + os.path.join(directory, "data"),
                                       "--web.listen-address=127.0.0.1:%d" % web], stdout=log, stderr=subprocess.STDOUT)
        try:
            def up():
                try:
                    with urllib.request.urlopen("http://127.0.0.1:%d/api/v1/query?query=up" % web, timeout=5) as r:
                        result = json.loads(r.read())["data"]["result"]
                    return result[0]["value"][1] if result else None
                except OSError:
                    return None
            return wait_until(up, 120, "Prometheus's first scrape")
        finally:
            prometheus.terminate()
            prometheus.wait(timeout=30)
            log.close()

    def test_a_client_certificate_is_required_when_configured(self):
        pki = Pki(self)
        run, port = self.start(pki, "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
                                    "  client_ca_file: ca.crt\n  client_auth_type: RequireAndVerifyClientCert\n")
        self.assertEqual(self.get(pki, port, client_cert=True)[0], 200)
        try:
            refused = self.get(pki, port)[0]
        except (OSError, ssl.SSLError):
            refused = "handshake refused"
        self.assertIn(refused, (403, "handshake refused"))
        self.assertEqual(run.stop(), 0, run.stderr)

    def test_a_configuration_that_cannot_be_used_stops_the_client_with_status_2(self):
        pki = Pki(self)
        with open(pki.path("garbage.pem"), "w") as f:
            f.write("not a certificate\n")
        for text, reason in (("tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n  min_version: TLS13\n",
                              "unknown key 'min_version'"),
                             ("tls_server_config:\n  cert_file: missing.crt\n  key_file: server.key\n",
                              "missing.crt: not a readable file"),
                             ("basic_auth_users:\n  alice: plaintext\n", "is not a bcrypt hash"),
                             ("tls_server_config:\n  cert_file: garbage.pem\n  key_file: server.key\n",
                              "the certificate or key of the web configuration is not usable")):
            with self.subTest(reason=reason):
                config = pki.path("bad.yml")
                with open(config, "w") as f:
                    f.write(text)
                result = subprocess.run([kvx_e2e.BINARY, "--headless", "--log-dir=" + pki.dir,
                                         "--metrics=%d" % free_port(), "--metrics-web-config=" + config, "1A2B3"],
                                        capture_output=True, text=True, timeout=60)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(reason, result.stderr)
                self.assertNotIn("plaintext", result.stderr.replace("alice: plaintext", ""))


if __name__ == "__main__":
    kvx_e2e.main()
