'use strict';
// The client against the real sysaudio in private audio sessions.
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const test = require('node:test');

const sysaudio = require('..');
const { amplitudeAt, assertReaped, binary, startSession, writeTone } =
  require('../testing/helpers');

// Generous: other tests start audio sessions beside these on a loaded two-core machine.
const readyTimeoutMs = 30000;
const rate = 16000;

function start(env) {
  return sysaudio.start({ rate, binary, env, readyTimeoutMs });
}

test('ready, then the samples of a played tone', async (t) => {
  const session = startSession(t);
  const tone = path.join(session.directory, 'tone.wav');
  writeTone(tone, 1000, 0.5, 2);
  const capture = await start(session.env);
  session.playAsAnotherApplication(tone);
  const received = [];
  let loudAt = -1;
  const deadline = Date.now() + 30000;
  for await (const samples of capture) {
    if (loudAt < 0) {
      const loud = samples.findIndex((value) => Math.abs(value) > 0.05);
      loudAt = loud < 0 ? -1 : received.length + loud;
    }
    received.push(...samples);
    // The tone and half a second after it.
    if ((loudAt >= 0 && received.length > loudAt + 2.5 * rate) || Date.now() > deadline) {
      break;
    }
  }
  assert.equal(capture.ending, sysaudio.Ending.STOPPED);
  assertReaped(capture.pid);
  assert.ok(loudAt >= 0, 'the tone did not arrive');
  const first = received.findIndex((value) => Math.abs(value) > 0.05);
  const last = received.findLastIndex((value) => Math.abs(value) > 0.05);
  assert.ok(Math.abs((last - first) / rate - 2) < 0.2, `${(last - first) / rate} s of sound`);
  const middle = received.slice(first + rate / 5, last - rate / 5);
  const amplitude = amplitudeAt(middle, rate, 1000);
  assert.ok(Math.abs(amplitude - 0.5) < 0.01, `amplitude ${amplitude}`);
});

test('no server is an error at start', async (t) => {
  const empty = fs.mkdtempSync(path.join(os.tmpdir(), 'sysaudio-no-server.'));
  t.after(() => fs.rmSync(empty, { recursive: true, force: true }));
  const error = await start({ PATH: process.env.PATH, XDG_RUNTIME_DIR: empty })
    .then(() => null, (caught) => caught);
  assert.ok(error instanceof sysaudio.CaptureError, String(error));
  assert.match(error.message, /^cannot connect to the PipeWire server: /);
  assert.equal(error.started, false);
});

test('stop in the middle of the stream', async (t) => {
  const session = startSession(t);
  for (const stopper of ['leaving the loop', 'stop() while the loop waits']) {
    await t.test(stopper, async () => {
      const capture = await start(session.env);
      let timer;
      if (stopper !== 'leaving the loop') {
        timer = setTimeout(() => capture.stop(), 1000);
      }
      let received = 0;
      for await (const samples of capture) {
        received += samples.length;
        if (timer === undefined && received >= rate) {
          break;
        }
      }
      clearTimeout(timer);
      // Silence blocks keep coming while nothing plays.
      assert.ok(received > 0);
      assert.equal(await capture.stop(), sysaudio.Ending.STOPPED);
      assert.ok(capture.exitCode === 0 || capture.signalCode === 'SIGPIPE',
        `${capture.exitCode} ${capture.signalCode}`);
      assertReaped(capture.pid);
    });
  }
});

test('the server going away is a later error', async (t) => {
  const session = startSession(t);
  const capture = await start(session.env);
  t.after(() => capture.stop());
  let killed = false;
  const error = await (async () => {
    for await (const samples of capture) {
      if (!killed && samples.length > 0) {
        process.kill(session.pidOf('pipewire'), 'SIGKILL');
        killed = true;
      }
    }
  })().then(() => null, (caught) => caught);
  assert.ok(error instanceof sysaudio.CaptureError, String(error));
  assert.match(error.message, /^capture stopped: /);
  assert.equal(error.started, true);
  assert.equal(capture.ending, sysaudio.Ending.ERROR);
  assert.equal(capture.exitCode, 1);
  assertReaped(capture.pid);
});
