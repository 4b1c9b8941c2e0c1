// Compiled, not run (npm run check-types): a parent's use of the client against index.d.ts, so
// that the hand-written types stay usable and say what index.js does.
import {
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
} from '..';

// No Node.js types here: the client's types must not need @types/node.
async function transcribe(
  consume: (samples: Float32Array) => void,
  report: (...words: unknown[]) => void,
  environment: Record<string, string | undefined>,
): Promise<Ending> {
  const capture: Capture = await start({
    rate: 16000,
    binary: findBinary(),
    env: { ...environment, PIPEWIRE_REMOTE: 'pipewire-0' },
    readyTimeoutMs: 10000,
    stopTimeoutMs: 5000,
  });
  const pid: number = capture.pid;
  const rate: number = capture.rate;
  try {
    for await (const samples of capture) {
      consume(samples);
      if (samples.length > rate) {
        break;
      }
    }
  } catch (error) {
    if (error instanceof CaptureError) {
      const started: boolean = error.started;
      report(`sysaudio ${pid}: ${error.message}${started ? '' : ' at start'}`);
    } else if (error instanceof UnexpectedEndError) {
      const status: number | null = error.code;
      const signal: string | null = error.signal;
      report(status, signal, error.stderr);
    } else if (error instanceof StartTimeoutError || error instanceof BinaryNotFoundError) {
      const base: SysaudioError = error;
      report(base.message);
    }
    throw error;
  }
  const ending: Ending = await capture.stop(2000);
  const known: Ending | null = capture.ending;
  const exit: [number | null, string | null] = [capture.exitCode, capture.signalCode];
  report(known, exit);
  return ending === Ending.STOPPED
    ? ending
    : classifyEnding({ code: 0, signal: null, errorMessage: null, stopRequested: true });
}

transcribe(() => undefined, () => undefined, {}).catch(() => undefined);
