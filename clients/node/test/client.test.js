'use strict';
// The client against a scripted stand-in for sysaudio (clients/fake_sysaudio.py, shared with the
// Python tests), for every way the helper can start, stream and end.
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const test = require('node:test');

const sysaudio = require('..');
const { assertReaped } = require('../testing/helpers');

const fakeProgram = path.resolve(__dirname, '..', '..', 'fake_sysaudio.py');

function floatsHex(values) {
  return Buffer.from(new Float32Array(values).buffer).toString('hex');
}

// The stand-in as an executable named sysaudio in a fresh directory.
function makeFake(t) {
  const directory = fs.mkdtempSync(path.join(os.tmpdir(), 'sysaudio-node-test.'));
  t.after(() => fs.rmSync(directory, { recursive: true, force: true }));
  const binary = path.join(directory, 'sysaudio');
  fs.symlinkSync(fakeProgram, binary);
  const pidFile = path.join(directory, 'pid');
  return {
    binary,
    start: (steps, options = {}) =>
      sysaudio.start({
        binary,
        env: { ...process.env, FAKE_STEPS: JSON.stringify(steps), FAKE_PID_FILE: pidFile },
        readyTimeoutMs: 30000,
        ...options,
      }),
    lastPid: () => Number(fs.readFileSync(pidFile, 'utf8')),
  };
}

const ready = ['stderr', 'ready\n'];

test('a status line other than ready ends the start', async (t) => {
  const cases = [
    ['error line, status 1', [['stderr', 'error: no display found\n'], ['exit', 1]],
      sysaudio.CaptureError, 'no display found'],
    ['no line, status 0', [['exit', 0]], sysaudio.UnexpectedEndError, 'ended with status 0'],
    ['error line, then a signal', [['stderr', 'error: x\n'], ['signal', 9]],
      sysaudio.UnexpectedEndError, 'SIGKILL'],
    ["the dynamic loader's complaint",
      [['stderr', 'sysaudio: error while loading shared libraries: x\n'], ['exit', 127]],
      sysaudio.UnexpectedEndError, 'error while loading shared libraries'],
  ];
  for (const [name, steps, errorType, text] of cases) {
    await t.test(name, async () => {
      const fake = makeFake(t);
      const error = await fake.start(steps).then(() => null, (caught) => caught);
      assert.ok(error instanceof errorType, `${name}: ${error}`);
      assert.ok(error instanceof sysaudio.SysaudioError);
      assert.match(error.message, new RegExp(text));
      if (errorType === sysaudio.CaptureError) {
        assert.equal(error.message, text);
        assert.equal(error.started, false);
      }
      assertReaped(fake.lastPid());
    });
  }
});

test('no status line in time ends the helper', async (t) => {
  const fake = makeFake(t);
  await assert.rejects(fake.start([['hang']], { readyTimeoutMs: 500 }), sysaudio.StartTimeoutError);
  assertReaped(fake.lastPid());
});

test('rates that sysaudio would misread are refused', async (t) => {
  const fake = makeFake(t);
  for (const rate of [16000.5, '16000', Number.NaN, null]) {
    await assert.rejects(sysaudio.start({ rate, binary: fake.binary }), TypeError, String(rate));
  }
});

test('finds the binary by path or on PATH', (t) => {
  const fake = makeFake(t);
  const directory = path.dirname(fake.binary);
  assert.equal(sysaudio.findBinary(fake.binary), fake.binary);
  assert.throws(() => sysaudio.findBinary(path.join(directory, 'missing')),
    sysaudio.BinaryNotFoundError);
  const saved = process.env.PATH;
  t.after(() => {
    process.env.PATH = saved;
  });
  process.env.PATH = `${path.join(directory, 'nothing-here')}${path.delimiter}${directory}`;
  assert.equal(sysaudio.findBinary(), fake.binary);
  process.env.PATH = path.join(directory, 'nothing-here');
  assert.throws(() => sysaudio.findBinary(), sysaudio.BinaryNotFoundError);
});

test('samples split across reads arrive whole', async (t) => {
  const values = Array.from(new Float32Array([...Array(13).keys()].map((n) => 0.25 * n - 1.5)
    .concat([1, -0, 3.5e-7])));
  const data = Buffer.from(floatsHex(values), 'hex');
  // Writes of odd sizes, each read apart from the next, so that reads end mid-sample.
  const steps = [ready];
  let offset = 0;
  for (const size of [1, 3, 5, 2, 7, 6, 11, 4, 9]) {
    steps.push(['stdout', data.subarray(offset, offset + size).toString('hex')], ['sleep', 0.02]);
    offset += size;
  }
  steps.push(['stdout', data.subarray(offset).toString('hex')], ['silence_until_broken_pipe']);
  const capture = await makeFake(t).start(steps);
  const received = [];
  for await (const samples of capture) {
    assert.ok(samples instanceof Float32Array);
    received.push(...samples);
    if (received.length >= values.length) {
      break;
    }
  }
  assert.deepEqual(received.slice(0, values.length), values);
  // Leaving the loop stopped the capture.
  assert.equal(capture.ending, sysaudio.Ending.STOPPED);
});

test('how the stream ends', async (t) => {
  const samples = [ready, ['stdout', floatsHex([0.5, -0.5])]];
  const cases = [
    ['a later error line, status 1',
      [...samples, ['stderr', 'error: capture stopped: gone\n'], ['exit', 1]],
      sysaudio.Ending.ERROR, sysaudio.CaptureError, 'capture stopped: gone'],
    ['status 0 while still read', [...samples, ['exit', 0]],
      sysaudio.Ending.UNEXPECTED, sysaudio.UnexpectedEndError, 'status 0'],
    ['killed', [...samples, ['signal', 9]],
      sysaudio.Ending.UNEXPECTED, sysaudio.UnexpectedEndError, 'SIGKILL'],
    ['output closed, still running', [...samples, ['close_stdout'], ['hang']],
      sysaudio.Ending.UNEXPECTED, sysaudio.UnexpectedEndError, 'SIGKILL'],
    ['status 1 without an error line', [...samples, ['exit', 1]],
      sysaudio.Ending.UNEXPECTED, sysaudio.UnexpectedEndError, 'status 1'],
  ];
  for (const [name, steps, ending, errorType, text] of cases) {
    await t.test(name, async () => {
      const fake = makeFake(t);
      const capture = await fake.start(steps, { stopTimeoutMs: 1000 });
      const received = [];
      const error = await (async () => {
        for await (const chunk of capture) {
          received.push(...chunk);
        }
      })().then(() => null, (caught) => caught);
      // Everything written before the end arrives before the error.
      assert.deepEqual(received, [0.5, -0.5]);
      assert.ok(error instanceof errorType, `${name}: ${error}`);
      assert.match(error.message, new RegExp(text));
      assert.equal(capture.ending, ending);
      if (errorType === sysaudio.CaptureError) {
        assert.equal(error.started, true);
      }
      // Stopping after the end changes nothing.
      assert.equal(await capture.stop(), ending);
      assertReaped(capture.pid);
    });
  }
});

test('stop closes the output and reaps the helper', async (t) => {
  const cases = [
    // Node.js starts its children with SIGPIPE at its default, which ends them.
    ['broken-pipe signal', [ready, ['silence_until_broken_pipe']],
      sysaudio.Ending.STOPPED, null, 'SIGPIPE'],
    ['broken pipe ignored, status 0',
      [['ignore_sigpipe'], ready, ['silence_until_broken_pipe']], sysaudio.Ending.STOPPED, 0, null],
    ['never ends, killed after the timeout',
      [['ignore_sigpipe'], ready, ['silence_ignoring_broken_pipe']],
      sysaudio.Ending.UNEXPECTED, null, 'SIGKILL'],
  ];
  for (const [name, steps, ending, code, signal] of cases) {
    await t.test(name, async () => {
      const capture = await makeFake(t).start(steps, { stopTimeoutMs: 2000 });
      const iterator = capture[Symbol.asyncIterator]();
      assert.equal((await iterator.next()).done, false);
      assert.equal(await capture.stop(), ending);
      assert.equal(capture.exitCode, code);
      assert.equal(capture.signalCode, signal);
      assertReaped(capture.pid);
      if (ending === sysaudio.Ending.STOPPED) {
        // The iteration ends without an error once stopped.
        assert.equal((await iterator.next()).done, true);
      }
    });
  }
});

test('stop while a loop waits for samples ends the loop', async (t) => {
  const capture = await makeFake(t).start([ready, ['silence_until_broken_pipe']]);
  const timer = setTimeout(() => capture.stop(), 300);
  t.after(() => clearTimeout(timer));
  let chunks = 0;
  for await (const samples of capture) {
    chunks += samples.length > 0 ? 1 : 0;
  }
  assert.ok(chunks > 0);
  assert.equal(capture.ending, sysaudio.Ending.STOPPED);
  assertReaped(capture.pid);
});
