'use strict';
// Runs sysaudio as a helper process and reads its samples; no dependencies beyond Node.js.
//
//   const sysaudio = require('sysaudio-client');
//   const capture = await sysaudio.start({ rate: 16000 });
//   for await (const samples of capture) { ... }   // Float32Array of whole samples
//
// start() resolves once sysaudio has said "ready", or rejects with a CaptureError carrying its
// error line's message. Iterating ends when the capture is stopped (stop(), or leaving the loop
// early); it throws a CaptureError when sysaudio reports an error later (for example "capture
// stopped: ..." when the audio server goes), and an UnexpectedEndError when sysaudio ends in any
// other way.

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');

const SAMPLE_BYTES = 4;
const DEFAULT_RATE = 16000;
const ERROR_PREFIX = 'error: ';
// Chunks waiting for the reader before sysaudio's output is paused: about a second of audio.
const QUEUED_CHUNKS_LIMIT = 64;

class SysaudioError extends Error {
  constructor(message) {
    super(message);
    this.name = new.target.name;
  }
}

// No sysaudio program at the given path, or none on PATH.
class BinaryNotFoundError extends SysaudioError {}

// sysaudio wrote no status line in time; it has been ended.
class StartTimeoutError extends SysaudioError {}

// sysaudio wrote an error line and ended with status 1. started: whether it had been ready.
class CaptureError extends SysaudioError {
  constructor(message, started) {
    super(message);
    this.started = started;
  }
}

// sysaudio ended without an error line and without being stopped.
class UnexpectedEndError extends SysaudioError {
  constructor(code, signal, stderr) {
    const how = signal ? `was ended by ${signal}` : `ended with status ${code}`;
    super(`sysaudio ${how} unexpectedly${stderr ? `: ${JSON.stringify(stderr)}` : ''}`);
    this.code = code;
    this.signal = signal;
    this.stderr = stderr;
  }
}

const Ending = Object.freeze({ ERROR: 'error', STOPPED: 'stopped', UNEXPECTED: 'unexpected' });

// How sysaudio ended, from its exit, its error line (null if none) and whether the client had
// closed its output to stop it.
function classifyEnding({ code, signal, errorMessage, stopRequested }) {
  if (errorMessage !== null && code === 1) {
    return Ending.ERROR;
  }
  // sysaudio ends with status 0 when its output breaks, or by SIGPIPE if that is not ignored.
  if (stopRequested && errorMessage === null && (code === 0 || signal === 'SIGPIPE')) {
    return Ending.STOPPED;
  }
  return Ending.UNEXPECTED;
}

function isExecutableFile(candidate) {
  try {
    fs.accessSync(candidate, fs.constants.X_OK);
    return fs.statSync(candidate).isFile();
  } catch {
    return false;
  }
}

// The path of the sysaudio program: binary itself if given, else sysaudio on PATH.
function findBinary(binary) {
  if (binary !== undefined && binary !== null) {
    if (!isExecutableFile(binary)) {
      throw new BinaryNotFoundError(`no executable sysaudio at ${binary}`);
    }
    return binary;
  }
  for (const directory of (process.env.PATH || '').split(path.delimiter)) {
    const candidate = path.join(directory || '.', 'sysaudio');
    if (directory && isExecutableFile(candidate)) {
      return candidate;
    }
  }
  throw new BinaryNotFoundError('sysaudio is not on PATH');
}

// Resolves with what the promise gives, or with undefined once milliseconds have passed.
function within(promise, milliseconds) {
  let timer;
  const timeout = new Promise((resolve) => {
    timer = setTimeout(resolve, milliseconds);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

class Capture {
  constructor(child, rate, stopTimeoutMs) {
    this.rate = rate;
    this.pid = child.pid;
    this._child = child;
    this._stopTimeoutMs = stopTimeoutMs;
    this._stopRequested = false;
    this._ready = false;
    this._ending = null;
    this._endPromise = null;
    this._exit = { code: null, signal: null };
    this._spawnError = null;

    this._statusLines = [];
    let partialLine = '';
    let firstLineSeen;
    this._firstLine = new Promise((resolve) => {
      firstLineSeen = resolve;
    });
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (text) => {
      const lines = (partialLine + text).split('\n');
      partialLine = lines.pop();
      this._statusLines.push(...lines);
      if (this._statusLines.length > 0) {
        firstLineSeen(this._statusLines[0]);
      }
    });
    child.stderr.on('end', () => {
      if (partialLine) {
        this._statusLines.push(partialLine);
      }
      firstLineSeen(this._statusLines.length > 0 ? this._statusLines[0] : null);
    });
    // Both the exit and the end of every output: the error line is in by then.
    this._closed = new Promise((resolve) => {
      child.on('close', (code, signal) => {
        this._exit = { code, signal };
        resolve();
      });
      child.on('error', (error) => {
        this._spawnError = error;
        firstLineSeen(null);
        resolve();
      });
    });

    // Bytes of a sample that a chunk split, kept for the next one.
    this._carry = Buffer.alloc(0);
    this._chunks = [];
    this._outputEnded = false;
    this._wake = null;
    const wake = () => {
      if (this._wake) {
        this._wake();
        this._wake = null;
      }
    };
    this._wakeReader = wake;
    child.stdout.on('data', (chunk) => {
      this._chunks.push(chunk);
      if (this._chunks.length >= QUEUED_CHUNKS_LIMIT) {
        child.stdout.pause();
      }
      wake();
    });
    child.stdout.on('end', () => {
      this._outputEnded = true;
      wake();
    });
    child.stdout.on('close', () => {
      this._outputEnded = true;
      wake();
    });
  }

  // How the capture ended ('error', 'stopped' or 'unexpected'), or null while it runs.
  get ending() {
    return this._ending;
  }

  get exitCode() {
    return this._exit.code;
  }

  get signalCode() {
    return this._exit.signal;
  }

  [Symbol.asyncIterator]() {
    return {
      next: () => this._next(),
      // Leaving a for await loop early stops the capture.
      return: async () => {
        await this.stop();
        return { value: undefined, done: true };
      },
    };
  }

  // Stops the capture: closes sysaudio's output, waits for it to exit (killing it after
  // timeoutMs, default the stopTimeoutMs given to start()), and reaps it. Resolves with the
  // ending; never rejects, and does nothing more once the capture has ended.
  stop(timeoutMs) {
    if (this._endPromise === null) {
      this._stopRequested = true;
    }
    this._wakeReader();
    return this._end(timeoutMs);
  }

  async _next() {
    for (;;) {
      if (this._stopRequested || this._endPromise !== null) {
        break;
      }
      if (this._chunks.length > 0) {
        const samples = this._wholeSamples(this._chunks.shift());
        if (this._chunks.length < QUEUED_CHUNKS_LIMIT / 2) {
          this._child.stdout.resume();
        }
        if (samples !== null) {
          return { value: samples, done: false };
        }
        continue;
      }
      if (this._outputEnded) {
        break;
      }
      await new Promise((resolve) => {
        this._wake = resolve;
      });
    }
    this._throwUnlessStopped(await this._end());
    return { value: undefined, done: true };
  }

  _wholeSamples(chunk) {
    const data = this._carry.length > 0 ? Buffer.concat([this._carry, chunk]) : chunk;
    const whole = data.length - (data.length % SAMPLE_BYTES);
    this._carry = Buffer.from(data.subarray(whole));
    if (whole === 0) {
      return null;
    }
    // A copy: a Buffer's bytes need not start at a multiple of four in its memory.
    const samples = new Float32Array(whole / SAMPLE_BYTES);
    new Uint8Array(samples.buffer).set(data.subarray(0, whole));
    return samples;
  }

  async _waitUntilReady(timeoutMs) {
    const first = await within(this._firstLine, timeoutMs);
    if (first === undefined) {
      this._child.kill('SIGKILL');
      await this._end();
      throw new StartTimeoutError(`sysaudio wrote no status line within ${timeoutMs} ms`);
    }
    if (this._spawnError) {
      throw new SysaudioError(`cannot start sysaudio: ${this._spawnError.message}`);
    }
    if (first === 'ready') {
      this._ready = true;
      return;
    }
    this._throwUnlessStopped(await this._end());
  }

  _errorMessage() {
    const line = this._statusLines.find((text) => text.startsWith(ERROR_PREFIX));
    return line === undefined ? null : line.slice(ERROR_PREFIX.length);
  }

  // Closes the output, waits for sysaudio to exit (kills it if it does not in time), and says
  // how it ended. Runs once; later calls give the same ending.
  _end(timeoutMs = this._stopTimeoutMs) {
    if (this._endPromise === null) {
      this._endPromise = (async () => {
        this._child.stdout.destroy();
        if ((await within(this._closed.then(() => true), timeoutMs)) === undefined) {
          this._child.kill('SIGKILL');
          await this._closed;
        }
        this._ending = classifyEnding({
          code: this._exit.code,
          signal: this._exit.signal,
          errorMessage: this._errorMessage(),
          stopRequested: this._stopRequested,
        });
        return this._ending;
      })();
    }
    return this._endPromise;
  }

  _throwUnlessStopped(ending) {
    if (ending === Ending.ERROR) {
      throw new CaptureError(this._errorMessage(), this._ready);
    }
    if (ending === Ending.UNEXPECTED) {
      const stderr = this._statusLines.map((line) => `${line}\n`).join('');
      throw new UnexpectedEndError(this._exit.code, this._exit.signal, stderr);
    }
  }
}

// Starts sysaudio and resolves with the Capture once it is ready.
async function start({
  rate = DEFAULT_RATE,
  binary,
  env,
  readyTimeoutMs = 10000,
  stopTimeoutMs = 5000,
} = {}) {
  if (!Number.isSafeInteger(rate)) {
    // sysaudio reads anything but a decimal integer as its default rate, silently.
    throw new TypeError(`rate must be an integer, not ${String(rate)}`);
  }
  const binaryPath = findBinary(binary);
  const child = spawn(binaryPath, [String(rate)], {
    stdio: ['ignore', 'pipe', 'pipe'],
    env: env === undefined ? process.env : env,
    // Its own session, so that a terminal's Ctrl-C reaches sysaudio only through the parent.
    detached: true,
  });
  const capture = new Capture(child, rate, stopTimeoutMs);
  await capture._waitUntilReady(readyTimeoutMs);
  return capture;
}

module.exports = {
  BinaryNotFoundError,
  Capture,
  CaptureError,
  Ending,
  StartTimeoutError,
  SysaudioError,
  UnexpectedEndError,
  classifyEnding,
  findBinary,
  start,
};
