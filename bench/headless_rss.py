#!/usr/bin/env python3
"""Resident memory of a long headless run: starts the real `kvxclient
--headless` against sixteen simulated strips, polling the first one with
every record logged (its readings unpaced to every 10 ms, so that 30 minutes
are some 180,000 records rather than the 7,200 of the default pace), reads its resident memory once a minute and prints each
figure and the spread from minute 1 on. Judged is the anonymous part
(RssAnon: heap and stacks, where a leak or a growing log shows); VmRSS is
printed beside it, but its file-backed part (the program's and the libraries'
pages) comes and goes as the kernel reclaims page cache. Exits 1 when the
spread exceeds the limit (1 MiB by default) or the client stopped early.

    bench/headless_rss.py --binary build/default/src/main/kvxclient [--minutes 30] [--limit-kib 1024]
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

STRIPS = 16
FIRST_SERIAL = 0x10001


def scenario():
    outlets = [{"type": "heater", "watts": 1200}, {"type": "smps", "watts": 150},
               {"type": "compressor", "watts": 700, "phaseDeg": 35, "cycleMs": 60000, "duty": 0.5},
               {"type": "empty"}]
    return {"strips": [{"serial": "0x%05X" % (FIRST_SERIAL + k), "outlets": outlets, "summaryIntervalMs": 10}
                       for k in range(STRIPS)]}


def resident_kib(pid):
    """(VmRSS, RssAnon) of the process in KiB."""
    fields = {}
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "RssAnon"):
                fields[name] = int(value.split()[0])
    return fields["VmRSS"], fields["RssAnon"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--minutes", type=int, default=30)
    parser.add_argument("--limit-kib", type=int, default=1024)
    args = parser.parse_args()
    if args.minutes < 2:
        parser.error("--minutes must be at least 2")

    with tempfile.TemporaryDirectory(prefix="kvx_rss_") as work:
        path = os.path.join(work, "sixteen.json")
        with open(path, "w") as f:
            json.dump(scenario(), f)
        logs = os.path.join(work, "logs")
        os.mkdir(logs)
        # Record interval 0: every summary reading is written, logging on, current.
        command = [args.binary, "--headless", "--scenario=" + path, "--log-dir=" + logs,
                   "%X" % FIRST_SERIAL, "0", "0", "1", "0"]
        print("rss: %d strips, polling S/N=%05X, every reading logged, %d minutes" %
              (STRIPS, FIRST_SERIAL, args.minutes), flush=True)
        with open(os.path.join(work, "out.txt"), "wb") as out:
            client = subprocess.Popen(command, stdout=out, stderr=subprocess.STDOUT)
            start = time.monotonic()
            figures = {}
            try:
                for minute in range(1, args.minutes + 1):
                    time.sleep(max(0.0, start + 60 * minute - time.monotonic()))
                    if client.poll() is not None:
                        print("rss: the client stopped early with status %d" % client.returncode)
                        return 1
                    total, figures[minute] = resident_kib(client.pid)
                    print("rss minute %2d: anonymous %6d KiB (%+d KiB since minute 1), VmRSS %6d KiB" %
                          (minute, figures[minute], figures[minute] - figures[1], total), flush=True)
            finally:
                client.terminate()
                client.wait(timeout=30)
        records = 0
        for name in os.listdir(logs):
            if name.endswith(".csv"):
                with open(os.path.join(logs, name), "rb") as f:
                    records += max(0, sum(1 for _ in f) - 6)  # six header lines a file
        print("rss: %d records written" % records)
    spread = max(figures.values()) - min(figures.values())
    print("rss summary: anonymous memory minute 1 %d KiB, minute %d %d KiB, spread %d KiB (limit %d KiB)" %
          (figures[1], args.minutes, figures[args.minutes], spread, args.limit_kib))
    return 0 if spread <= args.limit_kib else 1


if __name__ == "__main__":
    sys.exit(main())
