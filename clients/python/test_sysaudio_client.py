"""Tests of sysaudio_client: against a scripted stand-in for sysaudio, for every way the helper can
behave, and against the real binary in private audio sessions.

The real binary and the session script are found through SYSAUDIO_BINARY and AUDIO_SESSION_SCRIPT
(ctest sets both), else at build/sysaudio and scripts/audio-session.sh of this checkout.
"""

import array
import json
import math
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import wave
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import sysaudio_client  # noqa: E402

REPOSITORY = Path(__file__).resolve().parents[2]
BINARY = os.environ.get("SYSAUDIO_BINARY", str(REPOSITORY / "build" / "sysaudio"))
SESSION_SCRIPT = os.environ.get(
    "AUDIO_SESSION_SCRIPT", str(REPOSITORY / "scripts" / "audio-session.sh"))
# Generous: other tests start audio sessions beside these on a loaded two-core machine.
READY_TIMEOUT = 30

# A stand-in for sysaudio that carries out the steps it is given, shared with the Node.js tests.
FAKE_SYSAUDIO = str(REPOSITORY / "clients" / "fake_sysaudio.py")


def floats_hex(values):
    return struct.pack(f"={len(values)}f", *values).hex()


def assert_reaped(test, pid):
    """The process is gone and no zombie of it is left to this process."""
    with test.assertRaises(ChildProcessError):
        os.waitpid(pid, os.WNOHANG)


class FakeSysaudio:
    """The stand-in, as an executable named sysaudio in a temporary directory."""

    def __init__(self, directory):
        self.path = os.path.join(directory, "sysaudio")
        self.pid_file = os.path.join(directory, "pid")
        os.symlink(FAKE_SYSAUDIO, self.path)

    def start(self, steps, **options):
        env = dict(os.environ, FAKE_STEPS=json.dumps(steps), FAKE_PID_FILE=self.pid_file)
        options.setdefault("ready_timeout", READY_TIMEOUT)
        return sysaudio_client.start(16000, self.path, env=env, **options)

    def last_pid(self):
        with open(self.pid_file) as file:
            return int(file.read())


class WithFake(unittest.TestCase):
    def setUp(self):
        directory = tempfile.mkdtemp(prefix="sysaudio-client-test.")
        self.addCleanup(shutil.rmtree, directory)
        self.fake = FakeSysaudio(directory)


class StartTest(WithFake):
    def test_a_status_line_other_than_ready_ends_the_start(self):
        cases = [
            ("error line, status 1", [["stderr", "error: no display found\n"], ["exit", 1]],
             sysaudio_client.CaptureError, "no display found"),
            ("no line, status 0", [["exit", 0]], sysaudio_client.UnexpectedEnd,
             "ended with status 0"),
            ("error line, then a signal", [["stderr", "error: x\n"], ["signal", signal.SIGKILL]],
             sysaudio_client.UnexpectedEnd, "signal 9"),
            ("the dynamic loader's complaint",
             [["stderr", "sysaudio: error while loading shared libraries: x\n"], ["exit", 127]],
             sysaudio_client.UnexpectedEnd, "error while loading shared libraries"),
        ]
        for name, steps, error_type, text in cases:
            with self.subTest(name):
                with self.assertRaises(error_type) as raised:
                    self.fake.start(steps)
                self.assertIn(text, str(raised.exception))
                if error_type is sysaudio_client.CaptureError:
                    self.assertEqual(raised.exception.message, text)
                    self.assertFalse(raised.exception.started)
                assert_reaped(self, self.fake.last_pid())

    def test_no_status_line_in_time_ends_the_helper(self):
        started = time.monotonic()
        with self.assertRaises(sysaudio_client.StartTimeout):
            self.fake.start([["hang"]], ready_timeout=0.5)
        self.assertLess(time.monotonic() - started, 10)
        assert_reaped(self, self.fake.last_pid())

    def test_rates_that_sysaudio_would_misread_are_refused(self):
        for rate in (16000.0, "16000", True, None):
            with self.subTest(rate=rate), self.assertRaises(TypeError):
                sysaudio_client.start(rate, self.fake.path)

    def test_finds_the_binary_by_path_or_on_path(self):
        directory = os.path.dirname(self.fake.path)
        self.assertEqual(sysaudio_client.find_binary(self.fake.path), self.fake.path)
        with self.assertRaises(sysaudio_client.BinaryNotFound):
            sysaudio_client.find_binary(os.path.join(directory, "missing"))
        saved = os.environ["PATH"]
        self.addCleanup(os.environ.__setitem__, "PATH", saved)
        os.environ["PATH"] = directory
        self.assertEqual(sysaudio_client.find_binary(), self.fake.path)
        os.environ["PATH"] = os.path.join(directory, "nothing-here")
        with self.assertRaises(sysaudio_client.BinaryNotFound):
            sysaudio_client.find_binary()


class StreamTest(WithFake):
    def test_samples_split_across_reads_arrive_whole(self):
        # As float32 holds them, so that they compare equal after the trip.
        values = list(array.array("f", [0.25 * n - 1.5 for n in range(13)] + [1.0, -0.0, 3.5e-7]))
        data = bytes.fromhex(floats_hex(values))
        # Writes of odd sizes, each read apart from the next, so that reads end mid-sample.
        steps = [["stderr", "ready\n"]]
        offset = 0
        for size in [1, 3, 5, 2, 7, 6, 11, 4, 9]:
            steps += [["stdout", data[offset:offset + size].hex()], ["sleep", 0.02]]
            offset += size
        steps += [["stdout", data[offset:].hex()], ["silence_until_broken_pipe"]]
        try:
            import numpy
        except ImportError:
            numpy = None
        for mode, numpy_module in [("array('f')", None), ("numpy", numpy)]:
            with self.subTest(mode):
                if mode == "numpy" and numpy is None:
                    # The build's own python has numpy installed with the test packages, so
                    # there a missing numpy is a fault of the setup, not a reason to skip.
                    if os.environ.get("SYSAUDIO_CLIENT_TEST_NEEDS_NUMPY") == "1":
                        self.fail("numpy is not installed for this python")
                    self.skipTest("numpy is not installed for this python")
                saved = sysaudio_client.numpy
                sysaudio_client.numpy = numpy_module
                self.addCleanup(setattr, sysaudio_client, "numpy", saved)
                received = []
                with self.fake.start(steps) as capture:
                    for samples in capture:
                        if numpy_module is None:
                            self.assertIsInstance(samples, array.array)
                            self.assertEqual(samples.typecode, "f")
                        else:
                            self.assertIsInstance(samples, numpy_module.ndarray)
                            self.assertEqual(samples.dtype, numpy_module.float32)
                        received += list(samples)
                        if len(received) >= len(values):
                            break
                    self.assertEqual(capture.stop(), sysaudio_client.Ending.STOPPED)
                self.assertEqual(received[:len(values)], values)

    def test_how_the_stream_ends(self):
        samples = [["stderr", "ready\n"], ["stdout", floats_hex([0.5, -0.5])]]
        Ending = sysaudio_client.Ending
        cases = [
            ("a later error line, status 1",
             samples + [["stderr", "error: capture stopped: gone\n"], ["exit", 1]],
             Ending.ERROR, sysaudio_client.CaptureError, "capture stopped: gone"),
            ("status 0 while still read", samples + [["exit", 0]],
             Ending.UNEXPECTED, sysaudio_client.UnexpectedEnd, "status 0"),
            ("killed", samples + [["signal", signal.SIGKILL]],
             Ending.UNEXPECTED, sysaudio_client.UnexpectedEnd, "signal 9"),
            ("output closed, still running", samples + [["close_stdout"], ["hang"]],
             Ending.UNEXPECTED, sysaudio_client.UnexpectedEnd, "signal 9"),
            ("status 1 without an error line", samples + [["exit", 1]],
             Ending.UNEXPECTED, sysaudio_client.UnexpectedEnd, "status 1"),
        ]
        for name, steps, ending, error_type, text in cases:
            with self.subTest(name):
                capture = self.fake.start(steps, stop_timeout=1)
                received = []
                with self.assertRaises(error_type) as raised:
                    for chunk in capture:
                        received += list(chunk)
                # Everything written before the end arrives before the error.
                self.assertEqual(received, [0.5, -0.5])
                self.assertIn(text, str(raised.exception))
                self.assertEqual(capture.ending, ending)
                if error_type is sysaudio_client.CaptureError:
                    self.assertTrue(raised.exception.started)
                # Stopping after the end changes nothing.
                self.assertEqual(capture.stop(), ending)
                assert_reaped(self, capture.pid)

    def test_stop_closes_the_output_and_reaps_the_helper(self):
        Ending = sysaudio_client.Ending
        cases = [
            # Python's children start with SIGPIPE at its default, which ends them.
            ("broken-pipe signal", [["stderr", "ready\n"], ["silence_until_broken_pipe"]],
             Ending.STOPPED, -signal.SIGPIPE),
            ("broken pipe ignored, status 0",
             [["ignore_sigpipe"], ["stderr", "ready\n"], ["silence_until_broken_pipe"]],
             Ending.STOPPED, 0),
            ("never ends, killed after the timeout",
             [["ignore_sigpipe"], ["stderr", "ready\n"], ["silence_ignoring_broken_pipe"]],
             Ending.UNEXPECTED, -signal.SIGKILL),
        ]
        for name, steps, ending, returncode in cases:
            with self.subTest(name):
                capture = self.fake.start(steps, stop_timeout=2)
                next(iter(capture))
                self.assertEqual(capture.stop(), ending)
                self.assertEqual(capture.returncode, returncode)
                assert_reaped(self, capture.pid)
                if ending is Ending.STOPPED:
                    # The iteration ends without an error once stopped.
                    self.assertEqual(list(capture), [])

    def test_stop_from_another_thread_ends_the_iteration(self):
        with self.fake.start([["stderr", "ready\n"], ["silence_until_broken_pipe"]]) as capture:
            timer = threading.Timer(0.3, capture.stop)
            timer.start()
            self.addCleanup(timer.cancel)
            chunks = sum(1 for _ in capture)
        self.assertGreater(chunks, 0)
        self.assertEqual(capture.ending, sysaudio_client.Ending.STOPPED)
        assert_reaped(self, capture.pid)


# --- Against the real binary -------------------------------------------------------------------

TONE_RATE = 48000


def write_tone(path, frequency, amplitude, seconds):
    """A stereo 16-bit WAV file of a sine, with the same samples on both channels."""
    frames = array.array("h")
    for n in range(int(seconds * TONE_RATE)):
        value = round(32767 * amplitude * math.sin(2 * math.pi * frequency * n / TONE_RATE))
        frames.extend((value, value))
    if sys.byteorder == "big":
        frames.byteswap()
    with wave.open(path, "wb") as file:
        file.setnchannels(2)
        file.setsampwidth(2)
        file.setframerate(TONE_RATE)
        file.writeframes(frames.tobytes())


def amplitude_at(samples, rate, frequency):
    phase = 2 * math.pi * frequency / rate
    real = sum(value * math.cos(phase * n) for n, value in enumerate(samples))
    imaginary = sum(value * math.sin(phase * n) for n, value in enumerate(samples))
    return 2 * math.hypot(real, imaginary) / len(samples)


class AudioSession:
    """A private audio session from scripts/audio-session.sh, in a fresh directory."""

    def __init__(self):
        self.directory = tempfile.mkdtemp(prefix="sysaudio-client-e2e.")
        clean = {name: value for name, value in os.environ.items()
                 if not name.startswith(("PIPEWIRE_", "PULSE_", "XDG_", "JACK_"))
                 and name != "DBUS_SESSION_BUS_ADDRESS"}
        started = subprocess.run([SESSION_SCRIPT, "start", self.directory], env=clean,
                                 capture_output=True, text=True, timeout=120)
        if started.returncode != 0:
            raise RuntimeError(f"the audio session did not start:\n{started.stderr}")
        listing = subprocess.run(
            ["bash", "-c", 'source "$1" && env -0', "-", os.path.join(self.directory, "env")],
            env=clean, capture_output=True, check=True)
        self.env = dict(entry.split("=", 1)
                        for entry in listing.stdout.decode().split("\0") if entry)

    def stop(self):
        subprocess.run([SESSION_SCRIPT, "stop", self.directory], timeout=60, check=False)

    def pid_of(self, daemon):
        with open(os.path.join(self.directory, f"{daemon}.pid")) as file:
            return int(file.read())

    def play_as_another_application(self, path):
        # sysaudio leaves out its parent's process tree, which is this test's: the player is
        # started by setsid -f, which is gone before the player plays.
        subprocess.run(["setsid", "-f", "pw-play", path], env=self.env, check=True, timeout=30)


class RealBinaryTest(unittest.TestCase):
    def session(self):
        session = AudioSession()
        self.addCleanup(session.stop)
        return session

    def start(self, env):
        return sysaudio_client.start(16000, BINARY, env=env, ready_timeout=READY_TIMEOUT)

    def test_ready_then_the_samples_of_a_played_tone(self):
        session = self.session()
        tone = os.path.join(session.directory, "tone.wav")
        write_tone(tone, 1000, 0.5, 2)
        rate = 16000
        received = array.array("f")
        with self.start(session.env) as capture:
            session.play_as_another_application(tone)
            deadline = time.monotonic() + 30
            loud_at = None
            for samples in capture:
                if loud_at is None:
                    loud = next((i for i, v in enumerate(samples) if abs(v) > 0.05), None)
                    loud_at = None if loud is None else len(received) + loud
                received.extend(samples)
                # The tone and half a second after it.
                if loud_at is not None and len(received) > loud_at + int(2.5 * rate):
                    break
                if time.monotonic() > deadline:
                    break
            self.assertEqual(capture.stop(), sysaudio_client.Ending.STOPPED)
        self.assertIsNotNone(loud_at, "the tone did not arrive")
        loud = [i for i, value in enumerate(received) if abs(value) > 0.05]
        self.assertAlmostEqual((loud[-1] - loud[0]) / rate, 2, delta=0.2)
        middle = received[loud[0] + rate // 5:loud[-1] - rate // 5]
        self.assertAlmostEqual(amplitude_at(middle, rate, 1000), 0.5, delta=0.01)
        assert_reaped(self, capture.pid)

    def test_no_server_is_an_error_at_start(self):
        empty = tempfile.mkdtemp(prefix="sysaudio-no-server.")
        self.addCleanup(shutil.rmtree, empty)
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "XDG_RUNTIME_DIR": empty}
        with self.assertRaises(sysaudio_client.CaptureError) as raised:
            self.start(env)
        self.assertTrue(raised.exception.message.startswith(
            "cannot connect to the PipeWire server: "), raised.exception.message)
        self.assertFalse(raised.exception.started)

    def test_stop_in_the_middle_of_the_stream(self):
        session = self.session()
        for stopper in ("the reading thread", "another thread"):
            with self.subTest(stopper):
                capture = self.start(session.env)
                timer = threading.Timer(1, capture.stop)
                if stopper == "another thread":
                    timer.start()
                self.addCleanup(timer.cancel)
                received = 0
                for samples in capture:
                    received += len(samples)
                    if stopper == "the reading thread" and received >= 16000:
                        break
                # Silence blocks keep coming while nothing plays.
                self.assertGreater(received, 0)
                self.assertEqual(capture.stop(), sysaudio_client.Ending.STOPPED)
                self.assertIn(capture.returncode, (0, -signal.SIGPIPE))
                assert_reaped(self, capture.pid)

    def test_the_server_going_away_is_a_later_error(self):
        session = self.session()
        capture = self.start(session.env)
        self.addCleanup(capture.stop)
        killed = False
        with self.assertRaises(sysaudio_client.CaptureError) as raised:
            for _ in capture:
                if not killed:
                    os.kill(session.pid_of("pipewire"), signal.SIGKILL)
                    killed = True
        self.assertTrue(raised.exception.message.startswith("capture stopped: "),
                        raised.exception.message)
        self.assertTrue(raised.exception.started)
        self.assertEqual(capture.ending, sysaudio_client.Ending.ERROR)
        self.assertEqual(capture.returncode, 1)
        assert_reaped(self, capture.pid)


if __name__ == "__main__":
    unittest.main()
