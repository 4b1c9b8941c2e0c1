#!/usr/bin/env python3
"""sysaudio beside the platform's own recorders, in one private audio session and one run.

Started by capture_benchmark.sh, which builds the programs, starts the session (its variables
are in this process's environment) and stops it afterwards. Standard library only.

Sequence: start sysaudio, pw-record and parec one after the other (each one's first byte is
awaited before the next starts, so that their start-ups do not overlap), let them idle for a
second, then start click_player detached and measure while it plays. After it ends, wait for
late clicks, then stop the captures with SIGINT and collect their rusage with wait4().

sysaudio leaves out the audio of its parent's process tree; its parent is this process, so the
player is started through `setsid --fork` and ends up reparented away from it (checked).

The window for CPU time and context switches runs from just before the player starts to the
moment it has ended: the time during which every capture carries the same audio.

Figures, per capture process:
- CPU s per audio minute: CPU time of all its threads over the window, from the scheduler's
  se.sum_exec_runtime (/proc/PID/task/*/sched: user and system time alike, in nanoseconds), per
  minute of the window; every capture delivers real-time audio, which samples/s checks. The
  tick-sampled utime + stime of /proc/PID/stat are shown beside it; they move in 10 ms steps.
- wake-ups/s: voluntary context switches of all its threads (/proc/PID/task/*/status) over the
  window.
- peak RSS: VmHWM, read just before the stop. wait4()'s ru_maxrss is in the JSON too, but it
  also counts the image of this Python process that the child had before exec().
- start to first byte: from just before the fork to the read that returned its first byte.
- click latency: from the player's stamp of a click (CLOCK_MONOTONIC read right before the
  click's first sample is stored into the player's buffer, see click_player.c) to the return of
  the read() that brought the first sample above CLICK_THRESHOLD (same clock). Each click's
  width (1 to 8 ms) says its index modulo 8, so arrivals are matched even when a capture lags
  by more than the 500 ms between clicks. The JSON also has each latency less the player's
  reported delay to the device (pw_time delay + buffered + queued at the stamp); with the
  session's null sink that delay is 0.
- samples/s: from the first to the last whole read inside the window.
- click latency p99 beside the median and p90: with 2 clicks a second, a 60 s run has 120.

A series (capture_benchmark.sh with --quantum, --baseline or --repeat) runs this once per
session and configuration, each with --label (which build) and --quantum (the forced quantum,
for the record), then `capture_benchmark.py --summarize DIR` prints sysaudio's figures of every
configuration side by side: the median over the repeats and their range.

pw-record 0.3.65 writes "-" as bare samples of the requested format through stdio, in 4096-byte
blocks (strace), with no header to skip. parec runs with its defaults: it asks for no latency,
pipewire-pulse gives it a 2 s fragment (fragsize 128000 bytes) and sets its node.latency to
32000/16000, which the graph clamps to its largest quantum: with parec in the run every stream
runs at 2048 frames instead of the session's default 1024 (the player logs the quantum).
"""

from __future__ import annotations

import argparse
import array
import datetime
import errno
import json
import os
import platform
import selectors
import signal
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

CAPTURE_RATE = 16000
PLAYER_RATE = 48000
CLICK_INTERVAL_MS = 500
CLICK_LEAD_MS = 1000
CLICK_CODES = 8
# A click is full scale; the material's tone is at 0.05, well below this in every downmix.
CLICK_THRESHOLD = 0.5
# Shorter than the click interval, longer than the widest click and its ringing.
REFRACTORY_SAMPLES = CAPTURE_RATE // 4
FIRST_BYTE_TIMEOUT_S = 15.0
IDLE_BEFORE_PLAYER_S = 1.0
# parec's default buffering holds about a second; this leaves room for the last clicks.
TAIL_AFTER_PLAYER_S = 3.0
STOP_TIMEOUT_S = 5.0
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
PAGE_KIB = os.sysconf("SC_PAGE_SIZE") // 1024
DEFAULT_QUANTUM = 1024
POLICIES = {0: "other", 1: "fifo", 2: "rr", 3: "batch", 5: "idle", 6: "deadline"}


def now_ns() -> int:
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


# ---------------------------------------------------------------------------------------------
# /proc snapshots


def _read(path: str) -> str | None:
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return file.read()
    except OSError:
        return None


def _stat_fields(text: str) -> list[str]:
    # "PID (COMM) STATE ...": COMM may hold spaces and parentheses; the last ')' ends it.
    return text[text.rfind(")") + 2 :].split()


def _status_value(text: str, key: str) -> int | None:
    for line in text.splitlines():
        if line.startswith(key + ":"):
            return int(line.split()[1])
    return None


def _sum_exec_ms(text: str | None) -> float:
    if text is None:
        return 0.0
    for line in text.splitlines():
        if line.startswith("se.sum_exec_runtime"):
            return float(line.split(":")[1])
    return 0.0


@dataclass
class ThreadSample:
    comm: str
    policy: int
    utime: int
    stime: int
    exec_ms: float
    voluntary: int
    involuntary: int


@dataclass
class ProcessSample:
    taken_ns: int
    utime: int  # clock ticks, all threads, dead ones included
    stime: int
    hwm_kib: int | None
    rss_kib: int | None
    threads: dict[int, ThreadSample]

    @property
    def cpu_s(self) -> float:
        return (self.utime + self.stime) / CLOCK_TICKS

    @property
    def voluntary(self) -> int:
        return sum(t.voluntary for t in self.threads.values())

    @property
    def involuntary(self) -> int:
        return sum(t.involuntary for t in self.threads.values())

    @property
    def exec_ms(self) -> float:
        return sum(t.exec_ms for t in self.threads.values())


def sample_process(pid: int) -> ProcessSample | None:
    taken = now_ns()
    stat = _read(f"/proc/{pid}/stat")
    status = _read(f"/proc/{pid}/status")
    if stat is None or status is None:
        return None
    fields = _stat_fields(stat)
    threads: dict[int, ThreadSample] = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        tids = []
    for name in tids:
        tid = int(name)
        tstat = _read(f"/proc/{pid}/task/{tid}/stat")
        tstatus = _read(f"/proc/{pid}/task/{tid}/status")
        if tstat is None or tstatus is None:
            continue
        tfields = _stat_fields(tstat)
        threads[tid] = ThreadSample(
            comm=tstat[tstat.find("(") + 1 : tstat.rfind(")")],
            policy=int(tfields[38]),
            utime=int(tfields[11]),
            stime=int(tfields[12]),
            exec_ms=_sum_exec_ms(_read(f"/proc/{pid}/task/{tid}/sched")),
            voluntary=_status_value(tstatus, "voluntary_ctxt_switches") or 0,
            involuntary=_status_value(tstatus, "nonvoluntary_ctxt_switches") or 0,
        )
    return ProcessSample(
        taken_ns=taken,
        utime=int(fields[11]),
        stime=int(fields[12]),
        hwm_kib=_status_value(status, "VmHWM"),
        rss_kib=_status_value(status, "VmRSS"),
        threads=threads,
    )


def machine_busy_s() -> float:
    """CPU seconds the whole machine has spent busy since boot (every CPU, /proc/stat)."""
    fields = [int(x) for x in (_read("/proc/stat") or "cpu 0").splitlines()[0].split()[1:]]
    idle = sum(fields[3:5])  # idle, iowait
    # guest time is already counted in user and nice
    return (sum(fields[:8]) - idle) / CLOCK_TICKS


def own_cpu_s() -> float:
    fields = _stat_fields(_read("/proc/self/stat") or "")
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def window_delta(before: ProcessSample, after: ProcessSample) -> dict:
    seconds = (after.taken_ns - before.taken_ns) / 1e9
    threads = []
    for tid, end in sorted(after.threads.items()):
        start = before.threads.get(tid, ThreadSample(end.comm, end.policy, 0, 0, 0.0, 0, 0))
        threads.append(
            {
                "tid": tid,
                "comm": end.comm,
                "policy": POLICIES.get(end.policy, str(end.policy)),
                "user_s": (end.utime - start.utime) / CLOCK_TICKS,
                "sys_s": (end.stime - start.stime) / CLOCK_TICKS,
                "exec_s": (end.exec_ms - start.exec_ms) / 1000.0,
                "voluntary_per_s": (end.voluntary - start.voluntary) / seconds,
                "involuntary_per_s": (end.involuntary - start.involuntary) / seconds,
            }
        )
    return {
        "seconds": seconds,
        "cpu_s": after.cpu_s - before.cpu_s,
        "user_s": (after.utime - before.utime) / CLOCK_TICKS,
        "sys_s": (after.stime - before.stime) / CLOCK_TICKS,
        "exec_s": (after.exec_ms - before.exec_ms) / 1000.0,
        "voluntary_per_s": (after.voluntary - before.voluntary) / seconds,
        "involuntary_per_s": (after.involuntary - before.involuntary) / seconds,
        "threads": threads,
    }


# ---------------------------------------------------------------------------------------------
# Captures and their readers


@dataclass
class Click:
    arrival_ns: int
    sample: int
    width: int

    @property
    def code(self) -> int:
        return (round(self.width / (CAPTURE_RATE / 1000)) - 1) % CLICK_CODES


@dataclass
class Capture:
    name: str
    argv: list[str]
    reads_status: bool = False  # sysaudio: stderr is its status channel
    process: subprocess.Popen | None = None
    spawned_ns: int = 0
    first_byte_ns: int | None = None
    ready_ns: int | None = None
    status_text: str = ""
    samples: int = 0
    partial: bytes = b""
    eof: bool = False
    clicks: list[Click] = field(default_factory=list)
    in_click: bool = False
    click_start: int = -REFRACTORY_SAMPLES
    click_width: int = 0
    click_arrival: int = 0
    # (stamp, samples so far) after every read, for the sample rate over the window.
    reads: list[tuple[int, int]] = field(default_factory=list)
    hwm_kib: int | None = None
    exit_status: int | None = None
    rusage: object = None
    stopped_ns: int = 0

    @property
    def pid(self) -> int:
        assert self.process is not None
        return self.process.pid

    def feed(self, data: bytes, stamp: int) -> None:
        if self.first_byte_ns is None:
            self.first_byte_ns = stamp
        data = self.partial + data
        whole = len(data) // 4 * 4
        self.partial = data[whole:]
        if whole == 0:
            return
        values = array.array("f")
        values.frombytes(data[:whole])
        base = self.samples
        self.samples += len(values)
        self.reads.append((stamp, self.samples))
        if not self.in_click and max(values) <= CLICK_THRESHOLD and min(values) >= -CLICK_THRESHOLD:
            return
        for offset, value in enumerate(values):
            index = base + offset
            loud = abs(value) > CLICK_THRESHOLD
            if self.in_click:
                if loud:
                    self.click_width += 1
                else:
                    self.in_click = False
                    self.clicks.append(
                        Click(self.click_arrival, self.click_start, self.click_width))
            elif loud and index - self.click_start >= REFRACTORY_SAMPLES:
                self.in_click = True
                self.click_start = index
                self.click_width = 1
                self.click_arrival = stamp


class Pump:
    """Reads every capture's output as it comes, stamping each read with CLOCK_MONOTONIC."""

    def __init__(self) -> None:
        self.selector = selectors.DefaultSelector()

    def add(self, capture: Capture) -> None:
        assert capture.process is not None
        os.set_blocking(capture.process.stdout.fileno(), False)
        self.selector.register(capture.process.stdout.fileno(), selectors.EVENT_READ,
                               (capture, "out"))
        if capture.reads_status:
            os.set_blocking(capture.process.stderr.fileno(), False)
            self.selector.register(capture.process.stderr.fileno(), selectors.EVENT_READ,
                                   (capture, "err"))

    def run(self, seconds: float, until=None) -> bool:
        """Serves reads for up to `seconds`; returns True once until() holds."""
        deadline = now_ns() + int(seconds * 1e9)
        while True:
            if until is not None and until():
                return True
            left = (deadline - now_ns()) / 1e9
            if left <= 0:
                return until is not None and until()
            if not self.selector.get_map():
                time.sleep(min(left, 0.05))
                continue
            for key, _ in self.selector.select(timeout=min(left, 0.05)):
                capture, which = key.data
                try:
                    data = os.read(key.fd, 1 << 20)
                except BlockingIOError:
                    continue
                except OSError as error:
                    if error.errno != errno.EIO:
                        raise
                    data = b""
                stamp = now_ns()
                if not data:
                    self.selector.unregister(key.fd)
                    if which == "out":
                        capture.eof = True
                    continue
                if which == "out":
                    capture.feed(data, stamp)
                else:
                    capture.status_text += data.decode(errors="replace")
                    if capture.ready_ns is None and "ready\n" in capture.status_text:
                        capture.ready_ns = stamp

    def drop(self, capture: Capture) -> None:
        for stream in (capture.process.stdout, capture.process.stderr):
            if stream is None:
                continue
            try:
                self.selector.unregister(stream.fileno())
            except (KeyError, ValueError):
                pass


def stop_capture(capture: Capture, pump: Pump) -> None:
    """SIGINT, then wait4() for the rusage of the whole process (every thread)."""
    process = capture.process
    if process is None or capture.rusage is not None:
        return
    capture.stopped_ns = now_ns()
    # ru_maxrss would count the forking parent's image from before exec(); VmHWM is the
    # program's own peak.
    last = sample_process(process.pid)
    capture.hwm_kib = last.hwm_kib if last is not None else None
    try:
        process.send_signal(signal.SIGINT)
    except ProcessLookupError:
        pass
    deadline = time.monotonic() + STOP_TIMEOUT_S
    killed = False
    while True:
        pid, status, rusage = os.wait4(process.pid, os.WNOHANG)
        if pid == process.pid:
            break
        if time.monotonic() > deadline and not killed:
            process.kill()
            killed = True
        # Keep draining its output so that a blocked write cannot hold it up.
        pump.run(0.02)
    process.returncode = os.waitstatus_to_exitcode(status)
    capture.exit_status = process.returncode
    capture.rusage = rusage
    pump.run(0.2, until=lambda: capture.eof)
    pump.drop(capture)


# ---------------------------------------------------------------------------------------------
# The player


@dataclass
class PlayerClick:
    index: int
    frame: int
    write_ns: int
    offset: int
    frames: int
    requested: int
    delay_ns: int


def read_player_log(path: Path) -> tuple[list[PlayerClick], int | None]:
    clicks: list[PlayerClick] = []
    end = None
    text = path.read_text() if path.exists() else ""
    for line in text.splitlines():
        parts = line.split()
        if parts and parts[0] == "click" and len(parts) == 13:
            (index, frame, write_ns, offset, frames, requested, _now, delay, rate_num, rate_denom,
             buffered, queued) = (int(x) for x in parts[1:])
            ticks = delay + buffered + queued
            delay_ns = ticks * 1_000_000_000 * rate_num // rate_denom if rate_denom else 0
            clicks.append(PlayerClick(index, frame, write_ns, offset, frames, requested, delay_ns))
        elif parts and parts[0] == "end" and len(parts) == 2:
            end = int(parts[1])
    return clicks, end


def process_alive(pid: int) -> bool:
    stat = _read(f"/proc/{pid}/stat")
    return stat is not None and _stat_fields(stat)[0] not in ("Z", "X")


def ancestors(pid: int) -> list[int]:
    chain = []
    while pid > 1 and len(chain) < 4096:
        stat = _read(f"/proc/{pid}/stat")
        if stat is None:
            break
        pid = int(_stat_fields(stat)[1])
        chain.append(pid)
    return chain


def start_player(player: str, seconds: float, log: Path, pid_file: Path) -> int:
    """Starts the player detached: `setsid --fork` forks and its first process exits at once, so
    the player is reparented away from this process, whose process tree sysaudio leaves out."""
    with open(log.with_suffix(".out"), "wb") as output:
        subprocess.run(
            ["setsid", "--fork", "sh", "-c", 'echo $$ > "$0.tmp" && mv "$0.tmp" "$0" && exec "$@"',
             str(pid_file), player, "--seconds", str(seconds),
             "--interval-ms", str(CLICK_INTERVAL_MS), "--lead-ms", str(CLICK_LEAD_MS),
             "--log", str(log)],
            check=True, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
        )
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        if pid_file.exists():
            return int(pid_file.read_text())
        time.sleep(0.01)
    raise RuntimeError("the player did not start")


# ---------------------------------------------------------------------------------------------
# Analysis


def percentile(values: list[float], fraction: float) -> float | None:
    if not values:
        return None
    ordered = sorted(values)
    position = (len(ordered) - 1) * fraction
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def match_clicks(arrivals: list[Click], played: list[PlayerClick]) -> tuple[list[dict], int]:
    """Each arrival goes with the latest played click of the same code written before it."""
    matched = []
    unmatched = 0
    for arrival in arrivals:
        best = None
        for click in played:
            if click.index % CLICK_CODES != arrival.code or click.write_ns > arrival.arrival_ns:
                continue
            if best is None or click.write_ns > best.write_ns:
                best = click
        horizon_ns = CLICK_CODES * CLICK_INTERVAL_MS * 1_000_000
        if best is None or arrival.arrival_ns - best.write_ns >= horizon_ns:
            unmatched += 1
            continue
        matched.append(
            {
                "click": best.index,
                "latency_ms": (arrival.arrival_ns - best.write_ns) / 1e6,
                "latency_from_playout_ms":
                    (arrival.arrival_ns - best.write_ns - best.delay_ns) / 1e6,
                "width": arrival.width,
            }
        )
    return matched, unmatched


def rate_between(reads: list[tuple[int, int]], start_ns: int, end_ns: int) -> float | None:
    """Samples per second from the first read at or after start_ns to the last one by end_ns:
    whole reads only, so that a recorder writing in large blocks is measured fairly."""
    inside = [entry for entry in reads if start_ns <= entry[0] <= end_ns]
    if len(inside) < 2 or inside[-1][0] == inside[0][0]:
        return None
    return (inside[-1][1] - inside[0][1]) / ((inside[-1][0] - inside[0][0]) / 1e9)


def summarise(capture: Capture, window: dict, window_ns: tuple[int, int],
              played: list[PlayerClick]) -> dict:
    matched, unmatched = match_clicks(capture.clicks, played)
    latencies = [m["latency_ms"] for m in matched]
    ru = capture.rusage
    window_minutes = window["seconds"] / 60
    return {
        "argv": capture.argv,
        "pid": capture.pid,
        "exit_status": capture.exit_status,
        # The scheduler's nanosecond runtime of every thread (user and system time alike).
        "cpu_s_per_audio_minute": window["exec_s"] / window_minutes,
        # The same from the tick-sampled utime + stime of /proc/PID/stat (10 ms steps).
        "cpu_ticks_s_per_audio_minute": window["cpu_s"] / window_minutes,
        "wakeups_per_s": window["voluntary_per_s"],
        "involuntary_switches_per_s": window["involuntary_per_s"],
        "peak_rss_kib": capture.hwm_kib,
        "first_byte_ms":
            (capture.first_byte_ns - capture.spawned_ns) / 1e6 if capture.first_byte_ns else None,
        "ready_ms": (capture.ready_ns - capture.spawned_ns) / 1e6 if capture.ready_ns else None,
        "latency_median_ms": statistics.median(latencies) if latencies else None,
        "latency_p90_ms": percentile(latencies, 0.9),
        "latency_p99_ms": percentile(latencies, 0.99),
        "latency_min_ms": min(latencies) if latencies else None,
        "latency_max_ms": max(latencies) if latencies else None,
        "clicks_matched": len(matched),
        "clicks_unmatched": unmatched,
        "clicks_played": len(played),
        "samples_per_s": rate_between(capture.reads, *window_ns),
        "samples_total": capture.samples,
        "window": window,
        "lifetime": {
            "seconds": (capture.stopped_ns - capture.spawned_ns) / 1e9,
            "user_s": ru.ru_utime if ru is not None else None,
            "sys_s": ru.ru_stime if ru is not None else None,
            "voluntary_switches": ru.ru_nvcsw if ru is not None else None,
            "involuntary_switches": ru.ru_nivcsw if ru is not None else None,
            # Includes the image of the forking Python process before exec(); see peak_rss_kib.
            "ru_maxrss_kib": ru.ru_maxrss if ru is not None else None,
        },
        "clicks": matched,
        "status_text": capture.status_text,
    }


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def machine_info() -> dict:
    model = None
    for line in (_read("/proc/cpuinfo") or "").splitlines():
        if line.startswith("model name"):
            model = line.split(":", 1)[1].strip()
            break
    versions = {}
    for tool in ("pipewire", "pw-record", "parec"):
        try:
            out = subprocess.run([tool, "--version"], capture_output=True, text=True,
                                 timeout=5).stdout
            versions[tool] = " ".join(out.split())
        except (OSError, subprocess.TimeoutExpired):
            versions[tool] = None
    return {
        "cpu_model": model,
        "cpus": os.cpu_count(),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "versions": versions,
    }


def source_revision(root: Path) -> dict:
    def git(*args: str) -> str | None:
        try:
            result = subprocess.run(["git", "-C", str(root), *args], capture_output=True, text=True,
                                    timeout=10)
        except (OSError, subprocess.TimeoutExpired):
            return None
        return result.stdout.strip() if result.returncode == 0 else None

    status = git("status", "--porcelain", "--untracked-files=no")
    return {"commit": git("rev-parse", "HEAD"),
            "modified_tracked_files": len(status.splitlines()) if status else 0}


# ---------------------------------------------------------------------------------------------
# Report


METRICS = [
    ("cpu_s_per_audio_minute", "CPU s per audio minute", "{:.3f}"),
    ("cpu_ticks_s_per_audio_minute", "  same, utime+stime ticks", "{:.3f}"),
    ("wakeups_per_s", "wake-ups/s (voluntary switches)", "{:.1f}"),
    ("involuntary_switches_per_s", "involuntary switches/s", "{:.1f}"),
    ("peak_rss_kib", "peak RSS, VmHWM (KiB)", "{:.0f}"),
    ("first_byte_ms", "start to first byte (ms)", "{:.1f}"),
    ("latency_median_ms", "click latency median (ms)", "{:.1f}"),
    ("latency_p90_ms", "click latency p90 (ms)", "{:.1f}"),
    ("latency_p99_ms", "click latency p99 (ms)", "{:.1f}"),
    ("samples_per_s", "samples/s received", "{:.1f}"),
    ("clicks_matched", "clicks received", "{:.0f}"),
]
PEERS = ("pw-record", "parec")
COMBINED = "parec+pulse"


def fmt(value, pattern: str) -> str:
    return "-" if value is None else pattern.format(value)


def print_report(result: dict) -> None:
    caps = result["captures"]
    s = caps["sysaudio"]
    print()
    print(f"Capture benchmark: {result['seconds']:g} s of material, graph quantum "
          f"{result['graph_quantum_frames']} frames at {PLAYER_RATE} Hz, "
          f"{result['machine']['cpu_model']} x{result['machine']['cpus']}")
    header = (f"{'metric':34} {'sysaudio':>10} {'pw-record':>10} {'parec':>10} "
              f"{'s/pw-rec':>9} {'s/parec':>9}")
    print(header)
    print("-" * len(header))
    for key, label, pattern in METRICS:
        values = [caps.get(name, {}).get(key) for name in ("sysaudio", *PEERS)]
        print(f"{label:34} {fmt(values[0], pattern):>10} {fmt(values[1], pattern):>10} "
              f"{fmt(values[2], pattern):>10} {fmt(ratio(values[0], values[1]), '{:.2f}'):>9} "
              f"{fmt(ratio(values[0], values[2]), '{:.2f}'):>9}")
    if COMBINED in result:
        combined = result[COMBINED]["cpu_s_per_audio_minute"]
        print(f"{'CPU s/audio min, parec+pulse':34} {'':>10} {'':>10} "
              f"{fmt(combined, '{:.3f}'):>10} "
              f"{'':>9} {fmt(ratio(s['cpu_s_per_audio_minute'], combined), '{:.2f}'):>9}")
    if s.get("ready_ms") is not None:
        print(f"{'sysaudio start to ready (ms)':34} {s['ready_ms']:>10.1f}")
    if result.get("server_window"):
        print()
        print("Session daemons over the same window:   CPU s/audio min   wake-ups/s")
        for name, delta in result["server_window"].items():
            print(f"  {name:36} {delta['exec_s'] / (delta['seconds'] / 60):10.3f} "
                  f"{delta['voluntary_per_s']:12.1f}")
    load = result["machine_load_window"]
    print()
    print(f"Machine over the window: {load['busy_cpus']:.2f} CPUs busy, of which "
          f"{load['other_cpus']:.2f} outside the benchmark (click_player included); "
          f"load average {' '.join(load['loadavg_after'])}")
    if load["other_cpus"] > 0.1:
        print("  warning: other work ran on the machine during the window; figures are noisier")
    print()
    print("Targets (informational):")
    for target in result["targets"]:
        verdict = {True: "PASS", False: "MISS", None: "n/a "}[target["pass"]]
        print(f"  {verdict}  {target['name']}: {target['detail']}")
    print()
    print("Threads over the window: CPU s (scheduler runtime; user/sys ticks), wake-ups/s")
    for name, summary in caps.items():
        print(f"  {name}:")
        for thread in sorted(summary["window"]["threads"], key=lambda t: -t["exec_s"]):
            print(f"    {thread['comm']:16} {thread['tid']:>8} {thread['policy']:>5}  "
                  f"{thread['exec_s']:7.3f} ({thread['user_s']:5.2f}/{thread['sys_s']:5.2f})  "
                  f"{thread['voluntary_per_s']:7.1f}")


def evaluate_targets(caps: dict, quantum_frames: int) -> list[dict]:
    s = caps["sysaudio"]
    p = caps.get("pw-record", {})
    q = caps.get("parec", {})

    def check(name, value, limit, unit, pattern="{:.2f}"):
        ok = None if value is None or limit is None else value <= limit
        detail = f"{fmt(value, pattern)}{unit} (limit {fmt(limit, pattern)}{unit})"
        return {"name": name, "value": value, "limit": limit, "pass": ok, "detail": detail}

    quantum_ms = quantum_frames * 1000 / PLAYER_RATE
    return [
        check("CPU per audio minute <= 0.8 x pw-record's",
              ratio(s["cpu_s_per_audio_minute"], p.get("cpu_s_per_audio_minute")), 0.8, " x"),
        check("CPU per audio minute <= 0.8 x parec's",
              ratio(s["cpu_s_per_audio_minute"], q.get("cpu_s_per_audio_minute")), 0.8, " x"),
        check("peak RSS <= pw-record's", ratio(s["peak_rss_kib"], p.get("peak_rss_kib")), 1.0,
              " x"),
        check("latency median <= pw-record's", s["latency_median_ms"], p.get("latency_median_ms"),
              " ms", "{:.1f}"),
        check(f"latency median <= one quantum ({quantum_frames} frames, {quantum_ms:.1f} ms)"
              " + 5 ms",
              s["latency_median_ms"], quantum_ms + 5, " ms", "{:.1f}"),
    ]


# ---------------------------------------------------------------------------------------------


def daemon_pids() -> dict[str, int]:
    directory = os.environ.get("AUDIO_SESSION_DIR")
    pids = {}
    if not directory:
        return pids
    for name in ("pipewire", "pipewire-pulse", "wireplumber"):
        text = _read(f"{directory}/{name}.pid")
        if text and text.strip().isdigit():
            pids[name] = int(text.strip())
    return pids


def make_captures(args: argparse.Namespace) -> list[Capture]:
    sink = os.environ.get("AUDIO_SESSION_SINK", "audio_session_sink")
    monitor = os.environ.get("AUDIO_SESSION_MONITOR", sink + ".monitor")
    rate = str(CAPTURE_RATE)
    available = {
        "sysaudio": Capture("sysaudio", [args.sysaudio, rate], reads_status=True),
        # pw-record 0.3.65 writes "-" as bare samples through stdio in 4096-byte blocks: no
        # header to skip (checked with strace and by the sample values).
        "pw-record": Capture("pw-record", ["pw-record", "--target", sink, "-P",
                                           "stream.capture.sink=true", "--rate", rate,
                                           "--channels", "1", "--format", "f32", "-"]),
        # Default latency: parec asks for none, and pipewire-pulse picks its own fragment size.
        "parec": Capture("parec", ["parec", f"--device={monitor}", "--format=float32le",
                                   f"--rate={rate}", "--channels=1", "--raw"]),
    }
    return [available[name] for name in args.captures]


def run(args: argparse.Namespace) -> int:
    work = Path(args.work_dir)
    work.mkdir(parents=True, exist_ok=True)
    captures = make_captures(args)
    pump = Pump()
    player_pid = None
    log = work / "player.log"
    try:
        for capture in captures:
            if capture.reads_status:
                stderr = subprocess.PIPE
            else:
                stderr = open(work / f"{capture.name}.err", "wb")
            capture.spawned_ns = now_ns()
            capture.process = subprocess.Popen(capture.argv, stdin=subprocess.DEVNULL,
                                               stdout=subprocess.PIPE, stderr=stderr)
            if stderr is not subprocess.PIPE:
                stderr.close()
            pump.add(capture)
            if not pump.run(FIRST_BYTE_TIMEOUT_S,
                            until=lambda c=capture: c.first_byte_ns is not None or c.eof):
                raise RuntimeError(f"{capture.name} wrote nothing in {FIRST_BYTE_TIMEOUT_S} s")
            if capture.first_byte_ns is None:
                raise RuntimeError(f"{capture.name} ended before writing: "
                                   f"{capture.status_text.strip()}")
            print(f"{capture.name}: first byte after "
                  f"{(capture.first_byte_ns - capture.spawned_ns) / 1e6:.1f} ms", file=sys.stderr)
        pump.run(IDLE_BEFORE_PLAYER_S)

        daemons = daemon_pids()
        before = {c.name: sample_process(c.pid) for c in captures}
        before_daemons = {name: sample_process(pid) for name, pid in daemons.items()}
        busy_before, own_before = machine_busy_s(), own_cpu_s()
        player_pid = start_player(args.player, args.seconds, log, work / "player.pid")
        chain = ancestors(player_pid)
        if os.getpid() in chain:
            raise RuntimeError("the player descends from sysaudio's parent, "
                               "which would leave its audio out")
        print(f"player pid {player_pid} (parent {chain[0] if chain else '?'}), "
              f"playing {args.seconds:g} s", file=sys.stderr)
        limit_s = args.seconds + 20
        if not pump.run(limit_s, until=lambda: not process_alive(player_pid)):
            raise RuntimeError(f"the player did not end within {limit_s} s")
        player_pid = None
        after = {c.name: sample_process(c.pid) for c in captures}
        after_daemons = {name: sample_process(pid) for name, pid in daemons.items()}
        busy_after, own_after = machine_busy_s(), own_cpu_s()
        pump.run(TAIL_AFTER_PLAYER_S)
        for capture in captures:
            if before[capture.name] is None or after[capture.name] is None or capture.eof:
                raise RuntimeError(f"{capture.name} ended during the measurement: "
                                   f"{capture.status_text.strip()}")
        for capture in captures:
            stop_capture(capture, pump)
    finally:
        if player_pid is not None and process_alive(player_pid):
            os.kill(player_pid, signal.SIGTERM)
        for capture in captures:
            if capture.process is not None and capture.rusage is None:
                try:
                    capture.process.kill()
                except ProcessLookupError:
                    pass
                capture.process.wait()

    played, end_frame = read_player_log(log)
    if end_frame is None:
        raise RuntimeError(f"the player log {log} has no end line; see {log.with_suffix('.out')}")
    quanta = [c.requested for c in played if c.requested]
    quantum = int(statistics.median(quanta)) if quanta else DEFAULT_QUANTUM
    window_ns = (before["sysaudio"].taken_ns, after["sysaudio"].taken_ns)
    summaries = {
        c.name: summarise(c, window_delta(before[c.name], after[c.name]), window_ns, played)
        for c in captures
    }
    server = {}
    for name in daemons:
        if before_daemons.get(name) and after_daemons.get(name):
            delta = window_delta(before_daemons[name], after_daemons[name])
            delta.pop("threads")
            server[name] = delta
    # Whatever else ran on the machine meanwhile: other people's builds and tests skew every
    # figure here, so the run says how busy the machine was besides the benchmark.
    window_s = window_ns[1] / 1e9 - window_ns[0] / 1e9
    ours = (sum(summary["window"]["cpu_s"] for summary in summaries.values())
            + sum(delta["cpu_s"] for delta in server.values()) + (own_after - own_before))
    machine = {
        "busy_cpus": (busy_after - busy_before) / window_s,
        "benchmark_cpus": ours / window_s,
        "other_cpus": max(0.0, (busy_after - busy_before - ours) / window_s),
        "loadavg_after": (_read("/proc/loadavg") or "").split()[:3],
    }
    result = {
        "kind": "sysaudio-capture-benchmark",
        "started": args.started,
        "label": args.label,
        "forced_quantum_frames": args.quantum or None,
        "seconds": args.seconds,
        "machine": machine_info(),
        "source": source_revision(Path(args.root)),
        "sysaudio": args.sysaudio,
        "capture_rate": CAPTURE_RATE,
        "player": {
            "rate": PLAYER_RATE,
            "click_interval_ms": CLICK_INTERVAL_MS,
            "frames_played": end_frame,
            "clicks_played": len(played),
            "reported_delay_ms_median":
                statistics.median(c.delay_ns for c in played) / 1e6 if played else None,
        },
        "graph_quantum_frames": quantum,
        "captures": summaries,
        "server_window": server,
        "machine_load_window": machine,
    }
    # parec only receives what pipewire-pulse, which serves nothing else here, converted for it.
    if "parec" in summaries and "pipewire-pulse" in server:
        pulse = server["pipewire-pulse"]
        result[COMBINED] = {"cpu_s_per_audio_minute": summaries["parec"]["cpu_s_per_audio_minute"]
                            + pulse["exec_s"] / (pulse["seconds"] / 60)}
    result["ratios"] = {
        f"sysaudio/{peer}": {key: ratio(summaries["sysaudio"].get(key), summaries[peer].get(key))
                             for key, _, _ in METRICS}
        for peer in PEERS if peer in summaries
    }
    result["targets"] = evaluate_targets(summaries, quantum)
    print_report(result)

    results_dir = Path(args.results_dir)
    results_dir.mkdir(parents=True, exist_ok=True)
    stamp = args.started.replace(":", "").replace("-", "")
    forced = f"-q{args.quantum}" if args.quantum else ""
    out = results_dir / f"capture-{args.label}{forced}-{stamp}.json"
    out.write_text(json.dumps(result, indent=1) + "\n")
    print(f"\nresults: {out}")
    if summaries["sysaudio"]["clicks_matched"] == 0:
        print("error: sysaudio received none of the player's clicks", file=sys.stderr)
        return 1
    return 0


# ---------------------------------------------------------------------------------------------
# A series: several runs (builds, forced quanta, repeats) side by side


SERIES_METRICS = [
    ("cpu_s_per_audio_minute", "CPU s per audio minute", "{:.3f}"),
    ("pw_record_cpu", "  pw-record's beside it", "{:.3f}"),
    ("cpu_ratio", "  sysaudio / pw-record", "{:.2f}"),
    ("wakeups_per_s", "wake-ups/s", "{:.1f}"),
    ("peak_rss_kib", "peak RSS (KiB)", "{:.0f}"),
    ("rss_ratio", "  sysaudio / pw-record", "{:.2f}"),
    ("latency_median_ms", "click latency median (ms)", "{:.1f}"),
    ("latency_p99_ms", "click latency p99 (ms)", "{:.1f}"),
]


def series_values(run: dict) -> dict:
    s = run["captures"]["sysaudio"]
    p = run["captures"].get("pw-record", {})
    values = {key: s.get(key) for key, _, _ in SERIES_METRICS}
    values["pw_record_cpu"] = p.get("cpu_s_per_audio_minute")
    values["cpu_ratio"] = ratio(s.get("cpu_s_per_audio_minute"), p.get("cpu_s_per_audio_minute"))
    values["rss_ratio"] = ratio(s.get("peak_rss_kib"), p.get("peak_rss_kib"))
    return values


def spread(values: list, pattern: str) -> str:
    values = [v for v in values if v is not None]
    if not values:
        return "-"
    middle = pattern.format(statistics.median(values))
    if len(values) == 1:
        return middle
    return f"{middle} ({pattern.format(min(values))}-{pattern.format(max(values))})"


def summarize(directory: Path) -> int:
    runs = [json.loads(path.read_text()) for path in sorted(directory.glob("capture-*.json"))]
    if not runs:
        print(f"error: no runs in {directory}", file=sys.stderr)
        return 1
    labels = sorted({run.get("label", "sysaudio") for run in runs}, key=lambda l: l != "baseline")
    quanta = sorted({run.get("forced_quantum_frames") or 0 for run in runs})
    width = 28
    print()
    print(f"Series of {len(runs)} runs in {directory}: sysaudio's figures, median (min-max) over"
          " the repeats")
    for quantum in quanta:
        chosen = {label: [run for run in runs if run.get("label", "sysaudio") == label
                          and (run.get("forced_quantum_frames") or 0) == quantum]
                  for label in labels}
        graph = sorted({run["graph_quantum_frames"] for group in chosen.values() for run in group})
        busy = [run["machine_load_window"]["other_cpus"] for group in chosen.values()
                for run in group]
        print()
        print(f"Forced quantum {quantum or 'none'} (graph ran at {graph} frames); other work on"
              f" the machine: {spread(busy, '{:.2f}')} CPUs")
        print(f"{'':30}" + "".join(f"{label:>{width}}" for label in labels))
        for key, name, pattern in SERIES_METRICS:
            cells = [spread([series_values(run)[key] for run in chosen[label]], pattern)
                     for label in labels]
            print(f"{name:30}" + "".join(f"{cell:>{width}}" for cell in cells))
    summary = directory / "summary.json"
    summary.write_text(json.dumps([{"label": run.get("label"), "quantum":
                                    run.get("forced_quantum_frames"), **series_values(run)}
                                   for run in runs], indent=1) + "\n")
    print(f"\nsummary: {summary}")
    return 0


def main() -> int:
    if len(sys.argv) == 3 and sys.argv[1] == "--summarize":
        return summarize(Path(sys.argv[2]))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--sysaudio", required=True)
    parser.add_argument("--player", required=True)
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--results-dir", required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--captures", default="sysaudio,pw-record,parec",
                        help="comma-separated; sysaudio is always measured")
    parser.add_argument("--label", default="sysaudio",
                        help="the name of the measured build in a series")
    parser.add_argument("--quantum", type=int, default=0,
                        help="the quantum the session was forced to, for the record")
    args = parser.parse_args()
    names = [n for n in args.captures.split(",") if n]
    unknown = set(names) - {"sysaudio", *PEERS}
    if unknown:
        parser.error(f"unknown captures: {', '.join(sorted(unknown))}")
    args.captures = ["sysaudio"] + [n for n in PEERS if n in names]
    args.started = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")
    if "AUDIO_SESSION_DIR" not in os.environ:
        print("error: run through capture_benchmark.sh, which starts the audio session",
              file=sys.stderr)
        return 2
    try:
        return run(args)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    except RuntimeError as error:
        print(f"error: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
