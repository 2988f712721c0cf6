"""The fleet documentation's Prometheus files are what promtool accepts: the
configuration (with its rule files), the alert and recording rules, and the alert rules'
own unit tests. Exits 77 (a skip) when promtool is not installed."""
import os
import shutil
import subprocess
import sys

DOCS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "prometheus")


def main():
    promtool = shutil.which("promtool")
    if not promtool:
        print("SKIP: promtool (Debian package prometheus) is not installed")
        return 77
    failed = False
    for command in (["check", "config", "prometheus.yml"], ["check", "rules", "kvx-alerts.yml", "kvx-recording.yml"],
                    ["test", "rules", "kvx-alerts.test.yml"]):
        result = subprocess.run([promtool] + command, cwd=DOCS, capture_output=True, text=True)
        print("promtool", " ".join(command), "->", result.returncode)
        print(result.stdout + result.stderr)
        failed = failed or result.returncode != 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
