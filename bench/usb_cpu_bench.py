#!/usr/bin/env python3
"""CPU of the headless program polling one strip over the USB backend and over
the simulated driver, in one run: each case runs `kvxclient --headless` on the
same one-strip scenario (paced as the simulator's default strip), logging
every reading, and after the first status line reads the CPU time of the
client's threads from /proc (schedstat) at the start and the end of the measured window.
Printed: CPU-seconds per minute of each case, and the ratio USB / simulated.

Over USB the strip is played by kvx-usb-emulator; its own CPU is printed
apart. The emulated node is a plain file that poll always finds ready, so
the backend's libusb event thread (kvx-usb-events) reaps without pause: the
USB figure is that of the backend over the emulator, an upper bound, not the
figure of a real bus. So the client's CPU without that thread is printed too
(on a real bus the thread sleeps in poll between transfers), with its ratio.

    bench/usb_cpu_bench.py --binary build/default/src/main/kvxclient \
        --emulator build/default/tests/tools/usb_emulator/kvx-usb-emulator [--seconds 60] [--rounds 2]
"""
import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

SERIAL = "1A2B3"


EVENT_THREAD = "kvx-usb-events"


def task_seconds(pid, comm=None):
    """CPU time of a process's threads (those named `comm` only, when given), from
    schedstat: nanoseconds, where stat counts 10 ms ticks that a short window of
    a quiet client does not fill."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            if comm is not None:
                with open("/proc/%d/task/%s/comm" % (pid, task)) as f:
                    if f.read().strip() != comm:
                        continue
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except FileNotFoundError:  # a thread that ended meanwhile
            pass
    return total / 1e9


def cpu_seconds(pid):
    """CPU time of a process (all its threads)."""
    return task_seconds(pid)


def event_thread_seconds(pid):
    """CPU time of the USB backend's event thread (0 when there is none)."""
    return task_seconds(pid, EVENT_THREAD)


def child_of(pid, timeout=30):
    """The first child of a process (the command the emulator started)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            children = f.read().split()
        if children:
            return int(children[0])
        time.sleep(0.05)
    raise RuntimeError("the emulator started no command")


def wait_for_polling(process, timeout=60):
    """Until the client printed its first status line (start-up is not measured)."""
    deadline = time.monotonic() + timeout
    line = b""
    while not line.startswith(b"S/N=" + SERIAL.encode()):
        if time.monotonic() > deadline or process.poll() is not None:
            raise RuntimeError("the client did not start polling")
        line = process.stdout.readline()


def run_case(command, seconds, under_emulator):
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    drain = None
    try:
        client = child_of(process.pid) if under_emulator else process.pid
        wait_for_polling(process)
        # The output keeps coming: drain it so the client never blocks on a full pipe.
        drain = subprocess.Popen(["cat"], stdin=process.stdout, stdout=subprocess.DEVNULL)
        def sample():
            return (cpu_seconds(client), event_thread_seconds(client),
                    cpu_seconds(process.pid) if under_emulator else 0.0, time.monotonic())
        start = sample()
        time.sleep(seconds)
        end = sample()
        per_minute = 60.0 / (end[3] - start[3])
        client_cpu, event_cpu, emulator_cpu = ((end[k] - start[k]) * per_minute for k in range(3))
        return client_cpu, client_cpu - event_cpu, emulator_cpu
    finally:
        process.send_signal(signal.SIGTERM)
        process.wait(timeout=30)
        if drain is not None:
            drain.wait(timeout=30)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", required=True)
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="kvx_usb_cpu_") as work:
        scenario = os.path.join(work, "one.json")
        with open(scenario, "w") as f:
            json.dump({"strips": [{"serial": "0x" + SERIAL}]}, f)
        values = [SERIAL, "0", "3600", "1", "0"]  # every reading logged, current

        def logs(name):
            path = os.path.join(work, name)
            os.makedirs(path, exist_ok=True)
            return "--log-dir=" + path

        sim = [args.binary, "--headless", "--scenario=" + scenario, logs("sim")] + values
        usb = [args.emulator, "--scenario=" + scenario, "--", args.binary, "--driver=usb", "--usb-id=1209:0001",
               "--headless", logs("usb")] + values
        figures = {"sim": [], "usb": [], "usb-rest": [], "emulator": []}
        # Alternating, so that a change of the machine's load falls on both.
        for _ in range(args.rounds):
            figures["sim"].append(run_case(sim, args.seconds, False)[0])
            client, rest, emulator = run_case(usb, args.seconds, True)
            figures["usb"].append(client)
            figures["usb-rest"].append(rest)
            figures["emulator"].append(emulator)
        mean = {name: sum(v) / len(v) for name, v in figures.items()}

        def line(label, name):
            print("  %-40s %7.3f   %s" % (label, mean[name], " ".join("%.3f" % v for v in figures[name])))

        def ratio(name):
            return mean[name] / mean["sim"] if mean["sim"] > 0 else float("inf")

        print("polling one strip, %d x %g s each, CPU-seconds per minute (mean, then each round):" %
              (args.rounds, args.seconds))
        line("simulated driver", "sim")
        line("USB backend (whole client)", "usb")
        line("USB backend without %s" % EVENT_THREAD, "usb-rest")
        line("kvx-usb-emulator itself", "emulator")
        print("  ratio USB / simulated: whole client %.2f, without the event thread %.2f" %
              (ratio("usb"), ratio("usb-rest")))
        # Judged without the event thread (over the emulator it spins; on a real
        # bus it sleeps), against the simulated driver as the floor, within 2x.
        ok = ratio("usb-rest") <= 2.0
        print("RESULT usb_cpu_per_minute figure=%.4g floor=%.4g unit=s/min ratio=%.2f bound=2.00x verdict=%s" %
              (mean["usb-rest"], mean["sim"], ratio("usb-rest"), "ok" if ok else "OVER"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
