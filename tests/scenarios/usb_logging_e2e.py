#!/usr/bin/env python3
"""The default strip logged over the USB backend, under kvx-usb-emulator, and
over the simulated driver: the same CSV layout and the same values.

Usage: usb_logging_e2e.py --binary PATH --usb EMULATOR [unittest args]
"""
import unittest

import kvx_e2e
from kvx_e2e import HeadlessRun, check_whole_file

ARGS = ["1A2B3", "0", "1", "1", "0"]  # every reading, logging on, current


class UsbLoggingTest(unittest.TestCase):
    def log_of(self, emulator):
        """The one log file of a run over USB (emulator given) or the simulator."""
        kvx_e2e.USB_EMULATOR = emulator
        run = HeadlessRun(self, ARGS)  # no scenario: both play their built-in default strip
        run.wait_for_records(10)
        self.assertEqual(run.stop(), 0, run.stderr)
        files = run.files()
        self.assertEqual(len(files), 1, files)
        self.assertTrue(files[0].startswith("1A2B3_ALL_A_"), files)
        return run.read(files[0])

    def test_the_default_strip_logs_the_same_over_usb_as_over_the_simulator(self):
        emulator = kvx_e2e.USB_EMULATOR
        self.assertIsNotNone(emulator, "run with --usb EMULATOR")
        self.addCleanup(setattr, kvx_e2e, "USB_EMULATOR", emulator)
        over_usb, over_sim = self.log_of(emulator), self.log_of(None)
        # Header lines (strip serial and firmware included) are the same.
        self.assertEqual(over_usb.splitlines(keepends=True)[:6], over_sim.splitlines(keepends=True)[:6])
        # Every record reads the same loads, voltage, frequency and temperature: the date aside.
        values = {backend: {r.split(b",", 1)[1] for r in check_whole_file(self, content, "A")}
                  for backend, content in (("usb", over_usb), ("sim", over_sim))}
        self.assertEqual(values["usb"], values["sim"])


if __name__ == "__main__":
    kvx_e2e.main()
