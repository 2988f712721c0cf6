#!/usr/bin/env python3
"""The history picture through the real program: two logging runs with a stall
and an unplug in the first and a pause between them, drawn by --render as SVG
and PNG. The SVG must show three shaded gaps at the journal's places, each
labelled with its cause, and no mean line across any of them.

Usage: history_e2e.py --binary PATH [unittest args]
"""
import os
import subprocess
import tempfile
import time
import unittest
import xml.etree.ElementTree as ET

import kvx_e2e
from kvx_e2e import EMPTY, HEATER, SMPS, HeadlessRun, strip

SVG = "{http://www.w3.org/2000/svg}"
SCENARIO = {
    "strips": [strip("0x1A2B3", [HEATER, SMPS, EMPTY, EMPTY], summary_ms=50)],
    "timeline": [
        {"atMs": 3000, "event": "stall", "serial": "0x1A2B3", "durationMs": 4000},
        {"atMs": 9000, "event": "unplug", "serial": "0x1A2B3"},
        {"atMs": 13000, "event": "plug", "serial": "0x1A2B3"},
    ],
}
GAP_SHADE = "#787878"
LABEL = "#3c3c3c"
OUTLETS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#d62728")


def groups(root, fill=None, stroke=None):
    for g in root.iter(SVG + "g"):
        if (fill and g.get("fill") == fill) or (stroke and g.get("stroke") == stroke):
            yield g


class HistoryTest(unittest.TestCase):
    def setUp(self):
        self.logs = tempfile.mkdtemp(prefix="kvx-history-")
        self.addCleanup(lambda: subprocess.run(["rm", "-rf", self.logs]))

    def program(self, *args):
        return subprocess.run([kvx_e2e.BINARY, *args], capture_output=True, text=True, timeout=60)

    def log_run(self, duration):
        run = HeadlessRun(self, ["1A2B3", "1", "0", "1", "1"], scenario=SCENARIO, duration=duration, logs=self.logs)
        self.assertEqual(run.wait(), 0, run.stderr)

    def test_a_stall_an_unplug_and_a_pause_are_three_labelled_gaps_without_a_line_across(self):
        self.assertEqual(self.program("--render=" + self.logs + "/x.png", "--log-dir=" + self.logs).returncode, 1)
        self.log_run(15)
        time.sleep(4)
        self.log_run(2.5)
        svg = os.path.join(self.logs, "day.svg")
        done = self.program("--render=" + svg, "--log-dir=" + self.logs, "--size=1000x400")
        self.assertEqual(done.returncode, 0, done.stderr)
        root = ET.parse(svg).getroot()

        gaps = []
        for g in groups(root, fill=GAP_SHADE):
            for rect in g.iter(SVG + "rect"):
                gaps.append((float(rect.get("x")), float(rect.get("x")) + float(rect.get("width"))))
        gaps.sort()
        self.assertEqual(len(gaps), 3, gaps)
        # Where they lie: the stall 3-7 s and the unplug 9-13 s into the first run of 15 s, then the pause.
        width = gaps[-1][1] - gaps[0][0]
        self.assertLess(gaps[0][1], gaps[1][0])
        self.assertLess(gaps[1][1], gaps[2][0])
        self.assertGreater(width, 300)

        labels = []
        for g in groups(root, stroke=LABEL):
            labels.append("".join(t.text or "" for t in g.iter(SVG + "text")))
        self.assertEqual(labels, ["応答なし", "取り外し", "クライアント停止中"])
        description = root.find(SVG + "desc").text
        self.assertIn("記録の途切れ 3 か所", description)

        lines = 0
        for colour in OUTLETS[:2]:
            for g in groups(root, stroke=colour):
                for polyline in g.iter(SVG + "polyline"):
                    xs = [float(p.split(",")[0]) for p in polyline.get("points").split()]
                    lines += 1
                    for a, b in zip(xs, xs[1:]):
                        for left, right in gaps:
                            self.assertFalse(a < left and b > right, "a line across the gap at %.0f" % left)
        self.assertGreaterEqual(lines, 8)  # four stretches of readings, two outlets with power

        png = self.program("--render=" + os.path.join(self.logs, "day.png"), "--log-dir=" + self.logs,
                           "--serial=1A2B3")
        self.assertEqual(png.returncode, 0, png.stderr)
        with open(os.path.join(self.logs, "day.png"), "rb") as f:
            self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
        self.assertEqual(self.program("--render=day.txt", "--log-dir=" + self.logs).returncode, 2)
        self.assertEqual(self.program("--size=10x10").returncode, 2)


if __name__ == "__main__":
    kvx_e2e.main()
