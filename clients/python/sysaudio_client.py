"""Runs sysaudio as a helper process and reads its samples, with the standard library alone.

    import sysaudio_client

    with sysaudio_client.start(16000) as capture:
        for samples in capture:
            ...  # a numpy float32 array if numpy is installed, else an array('f')

start() returns once sysaudio has said "ready", or raises CaptureError with its error line's
message. Iterating yields whole samples as they come and ends when the capture is stopped
(stop(), or leaving the with block); it raises CaptureError when sysaudio reports an error later
(for example "capture stopped: ..." when the audio server goes), and UnexpectedEnd when sysaudio
ends in any other way. stop() may be called from another thread while one thread iterates.
"""

import array
import enum
import os
import selectors
import shutil
import signal
import subprocess
import threading

try:
    import numpy
except ImportError:  # the samples come as array('f') instead
    numpy = None

__all__ = [
    "BinaryNotFound",
    "Capture",
    "CaptureError",
    "Ending",
    "StartTimeout",
    "SysaudioError",
    "UnexpectedEnd",
    "classify_ending",
    "find_binary",
    "start",
]

SAMPLE_BYTES = 4
DEFAULT_RATE = 16000
ERROR_PREFIX = "error: "
if array.array("f").itemsize != SAMPLE_BYTES:
    raise ImportError("this platform's array('f') does not hold 32-bit floats")


class SysaudioError(Exception):
    """Anything this client raises about sysaudio."""


class BinaryNotFound(SysaudioError):
    """No sysaudio program at the given path, or none on PATH."""


class StartTimeout(SysaudioError):
    """sysaudio wrote no status line in time; it has been ended."""


class CaptureError(SysaudioError):
    """sysaudio wrote an error line and ended with status 1.

    message is the line without "error: "; started says whether it had been ready before.
    """

    def __init__(self, message, started):
        super().__init__(message)
        self.message = message
        self.started = started


class UnexpectedEnd(SysaudioError):
    """sysaudio ended without an error line and without being stopped: status 0 while its
    output was still read, a signal, output ending while it ran on, or an unknown line.

    returncode is as subprocess gives it (negative: the signal); stderr is all it wrote there.
    """

    def __init__(self, returncode, stderr):
        if returncode is not None and returncode < 0:
            how = f"was ended by signal {-returncode}"
        else:
            how = f"ended with status {returncode}"
        super().__init__(f"sysaudio {how} unexpectedly" + (f": {stderr!r}" if stderr else ""))
        self.returncode = returncode
        self.stderr = stderr


class Ending(enum.Enum):
    """How a capture ended."""

    ERROR = "error"  # an error line, then status 1
    STOPPED = "stopped"  # by the client: it closed sysaudio's output
    UNEXPECTED = "unexpected"  # anything else


def classify_ending(returncode, error_message, stop_requested):
    """How sysaudio ended, from its status, its error line (None if none) and whether the client
    had closed its output to stop it."""
    if error_message is not None and returncode == 1:
        return Ending.ERROR
    # sysaudio ends with status 0 when its output breaks, or by SIGPIPE if that is not ignored.
    if stop_requested and error_message is None and returncode in (0, -signal.SIGPIPE):
        return Ending.STOPPED
    return Ending.UNEXPECTED


def find_binary(binary=None):
    """The path of the sysaudio program: binary itself if given, else sysaudio on PATH."""
    if binary is not None:
        path = os.fspath(binary)
        if not (os.path.isfile(path) and os.access(path, os.X_OK)):
            raise BinaryNotFound(f"no executable sysaudio at {path}")
        return path
    found = shutil.which("sysaudio")
    if found is None:
        raise BinaryNotFound("sysaudio is not on PATH")
    return found


def start(rate=DEFAULT_RATE, binary=None, *, ready_timeout=10.0, stop_timeout=5.0, env=None,
          read_size=65536):
    """Starts sysaudio at rate samples per second and returns the Capture once it is ready.

    binary: the program's path (default: sysaudio on PATH). ready_timeout: seconds to wait for
    its status line. stop_timeout: seconds that stop() and the end of the stream wait for it to
    exit before it is killed. env: its environment (default: this process's).
    """
    if isinstance(rate, bool) or not isinstance(rate, int):
        # sysaudio reads anything but a decimal integer as its default rate, silently.
        raise TypeError(f"rate must be an int, not {type(rate).__name__}")
    path = find_binary(binary)
    try:
        process = subprocess.Popen(
            [path, str(rate)],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            bufsize=0,
            env=env,
            # Its own session, so that a Ctrl-C meant for the parent reaches sysaudio only
            # through the parent's clean stop.
            start_new_session=True,
        )
    except OSError as error:
        raise SysaudioError(f"cannot start {path}: {error}") from error
    capture = Capture(process, rate, stop_timeout, read_size)
    try:
        capture._wait_until_ready(ready_timeout)
    except BaseException:
        # Interrupted while waiting (Ctrl-C): no helper is left behind.
        capture._end(kill_at_once=True)
        raise
    return capture


class Capture:
    """A running sysaudio; made by start()."""

    def __init__(self, process, rate, stop_timeout, read_size):
        self.rate = rate
        self.pid = process.pid
        self._process = process
        self._stop_timeout = stop_timeout
        self._read_size = read_size
        self._stdout = process.stdout.fileno()
        self._wake_read, self._wake_write = os.pipe()
        self._selector = selectors.DefaultSelector()
        self._selector.register(self._stdout, selectors.EVENT_READ)
        self._selector.register(self._wake_read, selectors.EVENT_READ)
        # Bytes of a sample that a read split, kept for the next read.
        self._carry = b""
        self._lock = threading.Lock()
        self._not_reading = threading.Condition(self._lock)
        self._reading = False
        self._stop_requested = False
        # Set, under the lock, before _end closes anything that _read and stop() use.
        self._finishing = False
        self._ready = False
        self._end_lock = threading.Lock()
        self._ending = None
        self._status_lines = []
        self._first_line = threading.Event()
        self._stderr_reader = threading.Thread(
            target=self._read_status, name=f"sysaudio-{self.pid}-stderr", daemon=True)
        self._stderr_reader.start()

    @property
    def ending(self):
        """How the capture ended (an Ending), or None while it runs."""
        return self._ending

    @property
    def returncode(self):
        return self._process.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()

    def __iter__(self):
        while True:
            data = self._read()
            if not data:
                break
            if self._carry:
                data = self._carry + data
            whole = len(data) - len(data) % SAMPLE_BYTES
            self._carry = bytes(data[whole:])
            if whole:
                yield _samples(bytearray(memoryview(data)[:whole]))
        self._raise_unless_stopped(self._end())

    def stop(self, timeout=None):
        """Stops the capture: closes sysaudio's output, waits for it to exit (killing it after
        timeout seconds, default the stop_timeout given to start()), and reaps it. Returns the
        Ending; raises nothing, and does nothing more once the capture has ended."""
        with self._lock:
            if not self._stop_requested and not self._finishing:
                self._stop_requested = True
                os.write(self._wake_write, b"x")
            while self._reading:
                self._not_reading.wait()
        return self._end(timeout)

    def _wait_until_ready(self, timeout):
        if not self._first_line.wait(timeout):
            self._end(kill_at_once=True)
            raise StartTimeout(f"sysaudio wrote no status line within {timeout} s")
        if self._status_lines[:1] == ["ready"]:
            self._ready = True
            return
        self._raise_unless_stopped(self._end())

    def _read_status(self):
        stderr = self._process.stderr
        for raw in iter(stderr.readline, b""):
            self._status_lines.append(raw.decode("utf-8", "replace").rstrip("\n"))
            self._first_line.set()
        self._first_line.set()

    def _error_message(self):
        for line in self._status_lines:
            if line.startswith(ERROR_PREFIX):
                return line[len(ERROR_PREFIX):]
        return None

    def _read(self):
        """The next bytes of output; empty at its end or once a stop is asked for."""
        with self._lock:
            if self._stop_requested or self._finishing:
                return b""
            self._reading = True
        try:
            for key, _ in self._selector.select():
                if key.fd == self._wake_read:
                    return b""
            return os.read(self._stdout, self._read_size)
        finally:
            with self._lock:
                self._reading = False
                self._not_reading.notify_all()

    def _end(self, timeout=None, kill_at_once=False):
        """Closes the output, waits for sysaudio to exit (kills it if it does not in time),
        reaps it, and says how it ended. Runs once; later calls return the same Ending."""
        with self._end_lock:
            if self._ending is not None:
                return self._ending
            with self._lock:
                self._finishing = True
                while self._reading:
                    self._not_reading.wait()
            self._process.stdout.close()
            if kill_at_once:
                self._process.kill()
            try:
                self._process.wait(self._stop_timeout if timeout is None else timeout)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
            # Standard error ends with the process; its reader has the last line soon after.
            self._stderr_reader.join(self._stop_timeout)
            self._process.stderr.close()
            self._selector.close()
            os.close(self._wake_read)
            os.close(self._wake_write)
            self._ending = classify_ending(
                self._process.returncode, self._error_message(), self._stop_requested)
            return self._ending

    def _raise_unless_stopped(self, ending):
        if ending is Ending.ERROR:
            raise CaptureError(self._error_message(), self._ready)
        if ending is Ending.UNEXPECTED:
            raise UnexpectedEnd(self._process.returncode, "".join(
                line + "\n" for line in self._status_lines))


def _samples(data):
    if numpy is not None:
        return numpy.frombuffer(data, dtype=numpy.float32)
    samples = array.array("f")
    samples.frombytes(data)
    return samples
