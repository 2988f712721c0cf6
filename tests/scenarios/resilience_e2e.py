#!/usr/bin/env python3
"""Strips that come and go, stall or misbehave: each scenario file of this
folder run end to end through `kvxclient --headless`.

Usage: resilience_e2e.py --binary PATH [unittest args]
"""
import re
import signal
import sys
import time
import unittest

import kvx_e2e
from kvx_e2e import HeadlessRun, check_whole_file, scenario_file

LOG_EVERY_READING = ["0", "3600", "1", "0"]  # record interval 0, logging on, current


def stop_and_time(test, run):
    """SIGTERM, then the seconds until the process has exited cleanly."""
    sent = time.monotonic()
    run.process.send_signal(signal.SIGTERM)
    test.assertEqual(run.wait(), 0, run.stderr)
    elapsed = time.monotonic() - sent
    print("\n  stopped %.3f s after SIGTERM" % elapsed, file=sys.stderr)
    # A generous bound: it only catches a hang (the read wait is bounded at 0.5 s).
    test.assertLess(elapsed, 5.0)
    return elapsed


class ResilienceTest(unittest.TestCase):
    def only_file(self, run, serial):
        files = run.files()
        self.assertEqual(len(files), 1, files)
        self.assertTrue(files[0].startswith("%05X_ALL_A_" % serial), files)
        return files[0]

    def test_second_strip_plugged_in_leaves_the_connection_and_the_file_alone(self):
        run = HeadlessRun(self, ["1A2B3"] + LOG_EVERY_READING, scenario=scenario_file("second_strip_plugged.json"))
        # The list has been enumerated again and rebuilt once the new strip was asked.
        run.wait_until(lambda: len(run.serial_requests(0x00ABC)) >= 1, "the recount and rebuild")
        run.wait_for_records(run.record_count() + 20)  # and logging went on after it
        self.assertEqual(run.stop(), 0, run.stderr)
        name = self.only_file(run, 0x1A2B3)
        records = check_whole_file(self, run.read(name), "A")
        self.assertGreater(len(records), 20)
        # One connection from start to end: set-event once, stop once.
        self.assertEqual(len(run.trace_lines(r"sn=1A2B3 on=pipe ctl=SET_EVENT")), 1)
        self.assertEqual(len(run.trace_lines(r"sn=1A2B3 on=pipe ctl=STOP")), 1)
        # The arrival made one enumeration, whose new list was applied:
        # start, connection (on the pipe), the recount's enumeration.
        self.assertEqual(len(run.serial_requests(0x1A2B3, on=kvx_e2e.ANY_HANDLE)), 3)
        if not kvx_e2e.USB_EMULATOR:  # over USB the strip cannot tell the handles apart
            self.assertEqual(len(run.serial_requests(0x1A2B3)), 2)
        self.assertEqual(len(run.serial_requests(0x00ABC)), 1)

    def test_an_arrival_that_does_not_change_the_count_changes_nothing(self):
        run = HeadlessRun(self, ["1A2B3"] + LOG_EVERY_READING, scenario=scenario_file("arrival_same_count.json"))
        # Start, connection (on the pipe), then the recount.
        run.wait_until(lambda: len(run.serial_requests(0x1A2B3, on=kvx_e2e.ANY_HANDLE)) >= 3,
                       "the recount after the arrival")
        # A rebuild would follow the recount in the same pass of the main loop.
        run.wait_for_next_status_line(0x1A2B3)
        self.assertEqual(run.stop(), 0, run.stderr)
        self.only_file(run, 0x1A2B3)
        self.assertEqual(len(run.serial_requests(0x1A2B3, on=kvx_e2e.ANY_HANDLE)), 3)  # no rebuild
        if not kvx_e2e.USB_EMULATOR:
            self.assertEqual(len(run.serial_requests(0x1A2B3)), 2)  # start and recount
        self.assertEqual(run.serial_requests(0x0F00D), [])  # the fallback class is not even asked
        self.assertEqual(len(run.trace_lines(r"sn=1A2B3 on=pipe ctl=SET_EVENT")), 1)

    def test_more_than_four_strips_all_reachable(self):
        run = HeadlessRun(self, ["60006"] + LOG_EVERY_READING, scenario=scenario_file("six_strips.json"))
        run.wait_for_records(1)
        run.wait_for_output("Polling S/N=60006.")
        self.assertEqual(run.stop(), 0, run.stderr)
        name = self.only_file(run, 0x60006)
        self.assertGreater(len(check_whole_file(self, run.read(name), "A")), 0)
        self.assertIn("Polling S/N=60006.", run.stdout)

    def test_a_stall_neither_hangs_nor_stops_the_logging_and_shutdown_is_prompt(self):
        run = HeadlessRun(self, ["1A2B3"] + LOG_EVERY_READING, scenario=scenario_file("stall.json"))
        # The first stall is 1.2 s to 4.2 s of the simulator's time, the second
        # starts at 6 s: wait, on the trace's clock, for readings after the
        # first and a read given up in the second, then stop during it.
        completed = r"sn=1A2B3 on=pipe read status=completed"
        run.wait_until(lambda: any(run.trace_time(l) > 4300 for l in run.trace_lines(completed)),
                       "readings after the first stall")
        run.wait_until(lambda: any(run.trace_time(l) > 6000 for l in run.trace_lines(r"sn=1A2B3 on=pipe read status=timedout")),
                       "a read given up in the second stall")
        stop_and_time(self, run)
        name = self.only_file(run, 0x1A2B3)
        records = check_whole_file(self, run.read(name), "A")
        stamps = [time.mktime(time.strptime(r[:19].decode(), "%Y/%m/%d %H:%M:%S")) for r in records]
        gaps = [b - a for a, b in zip(stamps, stamps[1:])]
        self.assertGreaterEqual(max(gaps), 2)  # the stall shows as a gap...
        self.assertGreater(stamps[-1] - stamps[0], 4)  # ...and readings resumed after it
        # The status line went on once a second through both stalls.
        status = [l for l in run.stdout.splitlines() if l.startswith("S/N=1A2B3 |")]
        self.assertGreaterEqual(len(status), 5)

    def test_slow_and_hanging_replies_hold_only_their_request_and_shutdown_stays_bounded(self):
        run = HeadlessRun(self, ["1A2B3"] + LOG_EVERY_READING, scenario=scenario_file("slow_replies.json"))
        # Two voltage requests that never answer, then every temperature
        # request takes 0.3 s: the run goes on until both were given up, a
        # later one was answered and the records span more than three seconds.
        run.wait_for_records(1)
        name = self.only_file(run, 0x1A2B3)
        run.wait_for_trace(r"setup=C0:B0:\S+ result=fail", 2)
        run.wait_until(lambda: len(run.replies(0xB0)) > 0, "a voltage request answered after the hanging ones")

        def span():
            stamps = [time.mktime(time.strptime(m.decode(), "%Y/%m/%d %H:%M:%S"))
                      for m in re.findall(rb"^(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d),", run.read(name), re.M)]
            return stamps[-1] - stamps[0] if stamps else 0
        run.wait_until(lambda: span() > 3, "records over more than three seconds")
        elapsed = stop_and_time(self, run)
        # The stop withdraws the request in flight: it waits for none of them.
        self.assertLess(elapsed, 2.5)
        records = check_whole_file(self, run.read(name), "A")
        stamps = [time.mktime(time.strptime(r[:19].decode(), "%Y/%m/%d %H:%M:%S")) for r in records]
        self.assertGreater(stamps[-1] - stamps[0], 3)  # logging went on past the hanging requests
        # The two hanging requests ended at their time-out and were withdrawn; later ones were answered.
        self.assertEqual(len(run.trace_lines(r"setup=C0:B0:\S+ result=fail")), 2)
        self.assertGreater(len(run.replies(0xB0)), 0)
        self.assertGreater(len(run.replies(0xB4)), 0)

    def test_failing_and_short_replies_during_a_connection(self):
        run = HeadlessRun(self, ["1A2B3"] + LOG_EVERY_READING, scenario=scenario_file("faulty_replies.json"))
        run.wait_for_records(11)
        run.wait_for_output("| (BAD) V |")
        self.assertEqual(run.stop(), 0, run.stderr)
        name = self.only_file(run, 0x1A2B3)
        content = run.read(name)
        records = check_whole_file(self, content, "A")
        self.assertGreater(len(records), 10)
        # No firmware reply: the header shows V0.0L00.
        self.assertEqual(content.splitlines()[4], b",01A2B3,V0.0L00,,,,")
        # The voltage never answers: the window and status line show (BAD).
        self.assertIn("| (BAD) V |", run.stdout)

    def test_the_second_of_three_interfaces_not_answering_hides_the_third(self):
        run = HeadlessRun(self, ["33333"] + LOG_EVERY_READING, scenario=scenario_file("second_of_three_silent.json"))
        run.wait_for_output("Waiting for S/N=33333 to be plugged in.")
        self.assertEqual(run.stop(), 0, run.stderr)
        self.assertEqual(run.files(), [])
        run = HeadlessRun(self, ["11111"] + LOG_EVERY_READING, scenario=scenario_file("second_of_three_silent.json"))
        run.wait_for_records(1)
        self.assertEqual(run.stop(), 0, run.stderr)
        self.only_file(run, 0x11111)

    def test_a_strip_only_under_the_fallback_class_is_found(self):
        run = HeadlessRun(self, [], scenario=scenario_file("fallback_only.json"))
        run.wait_for_output("No serial number given: polling the first strip found, S/N=0FA11.")
        self.assertEqual(run.stop(), 0, run.stderr)

    def test_a_strip_unplugged_and_plugged_again_and_again(self):
        run = HeadlessRun(self, ["1A2B3"] + LOG_EVERY_READING, scenario=scenario_file("flapping_strip.json"))
        # The last plug is at 3.15 s of the simulator's time: wait for a
        # reading after it, then for a status line printed after that.
        run.wait_until(lambda: any(run.trace_time(l) > 3150
                                   for l in run.trace_lines(r"sn=1A2B3 on=pipe read status=completed")),
                       "a reading after the last plug")
        run.wait_for_next_status_line(0x1A2B3)
        self.assertEqual(run.stop(), 0, run.stderr)
        files = run.files()
        self.assertGreater(len(files), 1)
        for name in files:
            check_whole_file(self, run.read(name), "A")
        # The strip is back for good: the last connection polls again.
        self.assertTrue(run.stdout.rstrip().splitlines()[-3].startswith("S/N=1A2B3 |"), run.stdout)

    def test_shutdown_right_after_an_unplug_is_prompt(self):
        scenario = {"strips": [kvx_e2e.strip(0x1A2B3, [kvx_e2e.HEATER], summary_ms=40)],
                    "timeline": [{"atMs": 1000, "event": "unplug", "serial": 0x1A2B3}]}
        run = HeadlessRun(self, ["1A2B3"] + LOG_EVERY_READING, scenario=scenario)
        if kvx_e2e.USB_EMULATOR:
            # The emulator's trace shows a failed read only when its own read of
            # the strip was waiting at the unplug: the client's notice says it.
            run.wait_for_output("Waiting for S/N=1A2B3 to be plugged in.")
        else:
            run.wait_for_trace(r"sn=1A2B3 on=pipe read status=failed")  # the pending read ended by the unplug
        stop_and_time(self, run)
        for name in run.files():
            check_whole_file(self, run.read(name), "A")

    def test_duplicate_serials_long_paths_and_corrupt_packet_indices(self):
        run = HeadlessRun(self, ["1A2B3"] + LOG_EVERY_READING, scenario=scenario_file("odd_strips.json"))
        run.wait_for_records(6)
        self.assertEqual(run.stop(), 0, run.stderr)
        name = self.only_file(run, 0x1A2B3)
        records = check_whole_file(self, run.read(name), "A")
        self.assertGreater(len(records), 5)
        # Of two strips with one serial number the later-enumerated one is polled:
        # the one with four equal loads.
        for record in records:
            values = record.decode().split(",")[2:6]
            self.assertEqual(len(set(values)), 1, record)


if __name__ == "__main__":
    kvx_e2e.main()
