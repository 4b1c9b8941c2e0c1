#!/usr/bin/env python3
"""Reads sysaudio for a long time, as a parent would, while a steady tone plays, and checks that
nothing was lost: the samples received match the time at the requested rate, the tone never
drops out for a silence block or more nor jumps in phase (a sample lost or repeated), and the
process's memory stays flat after the first minute. Prints the figures and a JSON line; exits 1
when a check fails."""

import argparse
import cmath
import json
import math
import os
import struct
import subprocess
import sys
import threading
import time


def rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def tone_phase(block, frequency, rate):
    """The phase of the tone over the block, by a single-bin DFT."""
    step = -2j * math.pi * frequency / rate
    return cmath.phase(sum(x * cmath.exp(step * n) for n, x in enumerate(block)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--rate", type=int, default=16000)
    parser.add_argument("--frequency", type=float, default=440.0)
    args = parser.parse_args()

    rate = args.rate
    block = rate // 20
    process = subprocess.Popen([args.binary, str(rate)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE)
    status = process.stderr.readline().decode(errors="replace")
    if status != "ready\n":
        print(f"soak: sysaudio did not start: {status.strip() or process.wait()}")
        return 1

    rss = []  # (seconds since start, KiB)
    stop = threading.Event()
    started = time.monotonic()

    def watch_memory():
        while not stop.wait(1.0):
            value = rss_kib(process.pid)
            if value is not None:
                rss.append((time.monotonic() - started, value))

    watcher = threading.Thread(target=watch_memory, daemon=True)
    watcher.start()

    leftover = b""
    received = 0
    tone_start = None  # (time, samples received before it)
    zero_run = 0
    longest_zero_run = 0
    longest_wait = 0.0
    last_arrival = None
    phase_block = []
    phases = []
    deadline = started + args.seconds
    while time.monotonic() < deadline:
        chunk = os.read(process.stdout.fileno(), 65536)
        now = time.monotonic()
        if not chunk:
            print("soak: sysaudio's output ended early")
            return 1
        data = leftover + chunk
        whole = len(data) // 4 * 4
        leftover = data[whole:]
        samples = struct.unpack(f"<{whole // 4}f", data[:whole])
        for sample in samples:
            if tone_start is None:
                if sample != 0.0:
                    tone_start = (now, received)
                received += 1
                continue
            received += 1
            zero_run = zero_run + 1 if sample == 0.0 else 0
            longest_zero_run = max(longest_zero_run, zero_run)
            phase_block.append(sample)
            if len(phase_block) == rate // 10:
                phases.append(tone_phase(phase_block, args.frequency, rate))
                phase_block = []
        if tone_start is not None and last_arrival is not None:
            longest_wait = max(longest_wait, now - last_arrival)
        last_arrival = now
    ended = time.monotonic()
    stop.set()
    memory_peak = rss_kib(process.pid)
    process.kill()
    process.wait()

    if tone_start is None:
        print("soak: the tone never arrived")
        return 1
    span = ended - tone_start[0]
    expected = span * rate
    got = received - tone_start[1]
    deviation = (got - expected) / expected

    # A block of a steady tone whose length is a whole number of its periods keeps its phase;
    # a lost or repeated stretch of samples shifts it.
    jumps = 0
    for before, after in zip(phases, phases[1:]):
        shift = abs(cmath.phase(cmath.exp(1j * (after - before))))
        if shift > math.radians(10):
            jumps += 1

    after_first_minute = [kib for at, kib in rss if at >= 60.0] or [kib for _, kib in rss[-1:]]
    at_one_minute = after_first_minute[0] if after_first_minute else None
    rss_growth = (max(after_first_minute) - at_one_minute) if after_first_minute else 0

    result = {
        "seconds": round(span, 1),
        "samples": got,
        "expected": round(expected),
        "deviation_percent": round(100 * deviation, 3),
        "longest_zero_run_samples": longest_zero_run,
        "silence_block_samples": block,
        "longest_wait_ms": round(1000 * longest_wait, 1),
        "phase_jumps": jumps,
        "rss_kib_first": rss[0][1] if rss else None,
        "rss_kib_at_one_minute": at_one_minute,
        "rss_kib_growth_after_one_minute": rss_growth,
        "rss_kib_last": memory_peak,
    }
    print(json.dumps(result))
    failures = []
    if abs(deviation) > 0.005:
        failures.append(f"{got} samples in {span:.1f} s is {100 * deviation:+.3f}% off {rate} Hz")
    if longest_zero_run >= block:
        failures.append(f"the tone dropped out for {longest_zero_run} samples")
    # A steady tone keeps its phase from block to block: a jump is samples lost or repeated.
    if jumps > 0:
        failures.append(f"{jumps} phase jumps: samples lost or repeated inside the tone")
    # Flat: a page or two of allocator noise, not growth.
    if rss_growth > 256:
        failures.append(f"memory grew by {rss_growth} KiB after the first minute")
    for failure in failures:
        print(f"soak: {failure}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
