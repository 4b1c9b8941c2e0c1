'use strict';
// What the Node.js client's tests share: the reaped check, and private audio sessions from
// scripts/audio-session.sh for the tests against the real binary.
const assert = require('node:assert/strict');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const repository = path.resolve(__dirname, '..', '..', '..');
// ctest sets both; otherwise this checkout's.
const binary = process.env.SYSAUDIO_BINARY || path.join(repository, 'build', 'sysaudio');
const sessionScript = process.env.AUDIO_SESSION_SCRIPT ||
  path.join(repository, 'scripts', 'audio-session.sh');

// The process is gone and reaped: a zombie would still take signal 0.
function assertReaped(pid) {
  assert.throws(() => process.kill(pid, 0), { code: 'ESRCH' }, `process ${pid} is still there`);
}

// This process's environment without anything that points at another audio server or bus.
function cleanEnvironment() {
  return Object.fromEntries(Object.entries(process.env).filter(([name]) =>
    !/^(PIPEWIRE_|PULSE_|XDG_|JACK_)/.test(name) && name !== 'DBUS_SESSION_BUS_ADDRESS'));
}

// A private audio session in a fresh directory, stopped when the test t ends.
function startSession(t) {
  const directory = fs.mkdtempSync(path.join(os.tmpdir(), 'sysaudio-node-e2e.'));
  const clean = cleanEnvironment();
  try {
    execFileSync(sessionScript, ['start', directory], { env: clean, timeout: 120000 });
  } catch (error) {
    throw new Error(`the audio session did not start: ${error.stderr}`);
  }
  t.after(() => execFileSync(sessionScript, ['stop', directory], { timeout: 60000 }));
  const listing = execFileSync('bash', ['-c', 'source "$1" && env -0', '-',
    path.join(directory, 'env')], { env: clean });
  const env = Object.fromEntries(listing.toString().split('\0').filter(Boolean)
    .map((entry) => [entry.slice(0, entry.indexOf('=')), entry.slice(entry.indexOf('=') + 1)]));
  return {
    directory,
    env,
    pidOf: (daemon) => Number(fs.readFileSync(path.join(directory, `${daemon}.pid`), 'utf8')),
    // sysaudio leaves out its parent's process tree, which is this test's: the player is started
    // by setsid -f, which is gone before the player plays.
    playAsAnotherApplication: (file) =>
      execFileSync('setsid', ['-f', 'pw-play', file], { env, timeout: 30000 }),
  };
}

// A stereo 16-bit WAV file of a sine at 48000 Hz, the same on both channels.
function writeTone(file, frequency, amplitude, seconds) {
  const rate = 48000;
  const frames = Math.floor(seconds * rate);
  const data = Buffer.alloc(frames * 4);
  for (let n = 0; n < frames; n++) {
    const value = Math.round(32767 * amplitude * Math.sin((2 * Math.PI * frequency * n) / rate));
    data.writeInt16LE(value, 4 * n);
    data.writeInt16LE(value, 4 * n + 2);
  }
  const header = Buffer.alloc(44);
  header.write('RIFF', 0);
  header.writeUInt32LE(36 + data.length, 4);
  header.write('WAVEfmt ', 8);
  header.writeUInt32LE(16, 16);
  header.writeUInt16LE(1, 20); // PCM
  header.writeUInt16LE(2, 22); // channels
  header.writeUInt32LE(rate, 24);
  header.writeUInt32LE(rate * 4, 28);
  header.writeUInt16LE(4, 32);
  header.writeUInt16LE(16, 34);
  header.write('data', 36);
  header.writeUInt32LE(data.length, 40);
  fs.writeFileSync(file, Buffer.concat([header, data]));
}

// The sine's peak amplitude at frequency in samples taken at rate.
function amplitudeAt(samples, rate, frequency) {
  let real = 0;
  let imaginary = 0;
  const phase = (2 * Math.PI * frequency) / rate;
  samples.forEach((value, n) => {
    real += value * Math.cos(phase * n);
    imaginary += value * Math.sin(phase * n);
  });
  return (2 * Math.hypot(real, imaginary)) / samples.length;
}

module.exports = { amplitudeAt, assertReaped, binary, startSession, writeTone };
