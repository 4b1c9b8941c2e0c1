// Types of sysaudio-client (index.js).

/** How a capture ended. */
export type Ending = 'error' | 'stopped' | 'unexpected';
export declare const Ending: {
  /** sysaudio wrote an error line, then ended with status 1. */
  readonly ERROR: 'error';
  /** The client stopped it by closing its output. */
  readonly STOPPED: 'stopped';
  /** Anything else: status 0 while still read, a signal, output ending while it ran on. */
  readonly UNEXPECTED: 'unexpected';
};

export interface StartOptions {
  /** Samples per second; an integer. Default 16000. */
  rate?: number;
  /** The program's path. Default: sysaudio on PATH. */
  binary?: string;
  /** sysaudio's environment. Default: this process's. */
  env?: Record<string, string | undefined>;
  /** How long to wait for its status line. Default 10000. */
  readyTimeoutMs?: number;
  /** How long stop() and the end of the stream wait for it to exit before it is killed. Default 5000. */
  stopTimeoutMs?: number;
}

/** Starts sysaudio and resolves once it is ready; rejects with a CaptureError carrying its error line. */
export declare function start(options?: StartOptions): Promise<Capture>;

/** The path of the sysaudio program: binary itself if given, else sysaudio on PATH. */
export declare function findBinary(binary?: string | null): string;

/** How sysaudio ended, from its exit, its error line and whether the client had stopped it. */
export declare function classifyEnding(end: {
  code: number | null;
  signal: string | null;
  errorMessage: string | null;
  stopRequested: boolean;
}): Ending;

/** A running sysaudio, made by start(). Iterate it once, from one loop. */
export declare class Capture implements AsyncIterable<Float32Array> {
  private constructor();
  readonly rate: number;
  readonly pid: number;
  /** How the capture ended, or null while it runs. */
  readonly ending: Ending | null;
  readonly exitCode: number | null;
  readonly signalCode: string | null;
  /**
   * Whole samples as they arrive. Ends once the capture is stopped; leaving the loop early stops
   * it. Throws a CaptureError for a later error line, an UnexpectedEndError for any other end.
   */
  [Symbol.asyncIterator](): AsyncIterator<Float32Array, undefined>;
  /** Closes sysaudio's output, waits for it to exit (killing it after timeoutMs), reaps it. Never rejects. */
  stop(timeoutMs?: number): Promise<Ending>;
}

/** Anything this client throws about sysaudio. */
export declare class SysaudioError extends Error {}
/** No sysaudio program at the given path, or none on PATH. */
export declare class BinaryNotFoundError extends SysaudioError {}
/** sysaudio wrote no status line in time; it has been ended. */
export declare class StartTimeoutError extends SysaudioError {}
/** sysaudio wrote an error line and ended with status 1. */
export declare class CaptureError extends SysaudioError {
  /** The error line without "error: ". */
  readonly message: string;
  /** Whether it had been ready before. */
  readonly started: boolean;
}
/** sysaudio ended without an error line and without being stopped. */
export declare class UnexpectedEndError extends SysaudioError {
  readonly code: number | null;
  readonly signal: string | null;
  /** All it wrote to standard error. */
  readonly stderr: string;
}
