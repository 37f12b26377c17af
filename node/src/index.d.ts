import { EventEmitter } from 'node:events';
import type { DetectorEvent } from './events.js';

export type * from './events.js';

/** Where the program for a platform is, `app.asar` replaced by `app.asar.unpacked`; null for a platform without one. */
export declare function resolveBinaryPath(platform?: NodeJS.Platform, arch?: string): string | null;

export interface MicUser {
  appName: string;
  /** null when several processes of the application capture. */
  pid: number | null;
}

export interface MicState {
  /** false from start and after every exit of the program, until its next run's first poll. */
  readonly known: boolean;
  /** A tracked application captures from a microphone. */
  readonly inMeeting: boolean;
  /** The tracked applications that capture, by bundleId. */
  readonly users: ReadonlyMap<string, Readonly<MicUser>>;
}

/** A line whose `type` the schema does not know, from a newer program: handle it or skip it. */
export interface UnknownEvent {
  type: string;
  [member: string]: unknown;
}

export interface InvalidLine {
  line: string;
  /** truncated: the program ended before the line's line feed. */
  reason: 'truncated' | 'not-json' | 'not-an-event';
}

export interface DetectorExit {
  status: number | null;
  signal: NodeJS.Signals | null;
  /** When the program is started again; null when it is not. */
  restartInMs: number | null;
  /** The last lines of the run's standard error, for a log; nothing is decided from them. */
  stderr: readonly string[];
}

export interface Unavailable {
  reason: 'unsupported-platform' | 'binary-missing' | 'spawn-failed' | 'startup-failed';
  message: string;
  stderr: readonly string[];
  /** When it is tried again (the `retryUnavailableMs` option); null when it is not. */
  retryInMs: number | null;
  /** The error of a spawn that failed. */
  error?: Error;
}

export interface MicDetectorEvents {
  event: [event: DetectorEvent];
  'unknown-event': [event: UnknownEvent];
  'invalid-line': [line: InvalidLine];
  state: [state: MicState];
  stderr: [line: string];
  exit: [exit: DetectorExit];
  unavailable: [unavailable: Unavailable];
}

export interface MicDetectorOptions {
  /** The program to run instead of the package's own. */
  binaryPath?: string;
  /** The program's environment; process.env when not given. */
  env?: NodeJS.ProcessEnv;
  /** Aborting it stops the detector. */
  signal?: AbortSignal;
  /** How long stop() waits before it kills the program hard. Default 5000. */
  stopTimeoutMs?: number;
  /** How many lines of standard error are kept. Default 20. */
  stderrLines?: number;
  /** Start again this long after the program could not start or be spawned. Default: never. */
  retryUnavailableMs?: number;
  /** For tests: the clock and timers behind the restart delays and the stop timeout. */
  clock?: {
    now(): number;
    setTimeout(callback: () => void, ms: number): unknown;
    clearTimeout(handle: unknown): void;
  };
}

export declare class MicDetector extends EventEmitter<MicDetectorEvents> {
  constructor(options?: MicDetectorOptions);
  readonly state: MicState;
  /** The running program's process id. */
  readonly pid: number | undefined;
  /** Starts the program and keeps it running until stop(); events come after start() returns. */
  start(): void;
  /** Ends the program, hard after stopTimeoutMs, and resolves when it has exited. */
  stop(): Promise<void>;
  /** The events, until stop() or until the detector is unavailable with no retry to follow. */
  events(): AsyncIterableIterator<DetectorEvent>;
  [Symbol.asyncDispose](): Promise<void>;
}
