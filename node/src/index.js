// Runs the detector as a child process and supervises it as docs/events.md advises: lines to
// events, restarts with back-off, and a state that is unknown whenever the stream is not live.
import { spawn } from 'node:child_process';
import { EventEmitter, on } from 'node:events';
import { fileURLToPath } from 'node:url';
import { EVENT_TYPES } from './events.js';

const PROGRAMS = {
  'linux-x64': 'linux-x64/kolvex-mic-detector',
  'linux-arm64': 'linux-arm64/kolvex-mic-detector',
  'win32-x64': 'win32-x64/kolvex-mic-detector-win.exe',
  // Windows 11 on ARM runs x64 programs emulated, Core Audio and COM included.
  'win32-arm64': 'win32-x64/kolvex-mic-detector-win.exe',
};
const KNOWN_TYPES = new Set(EVENT_TYPES);
const FIRST_DELAY_MS = 1000;
const LONGEST_DELAY_MS = 60_000;
// A run this long was a good one: the next failure starts the delays over.
const GOOD_RUN_MS = 60_000;
const EXIT_FAULT = 101;
const CLOSE_GRACE_MS = 1000;
const UNKNOWN = Object.freeze({ known: false, inMeeting: false, users: new Map() });
const ENDED = Symbol('ended');

// The one place that knows where the programs are, should they move to packages of their own.
export function resolveBinaryPath(platform = process.platform, arch = process.arch) {
  const target = `${platform}-${arch}`;
  if (!Object.hasOwn(PROGRAMS, target)) return null;
  const path = fileURLToPath(new URL(`../bin/${PROGRAMS[target]}`, import.meta.url));
  // Electron reads files inside app.asar but cannot run them: the program is unpacked beside it.
  return path.replace(/([\\/])app\.asar(?=[\\/])/, '$1app.asar.unpacked');
}

export class MicDetector extends EventEmitter {
  #options;
  #supervising = false;
  #run = null;
  #timer = null;
  #delayMs = FIRST_DELAY_MS;
  #state = UNKNOWN;

  constructor(options = {}) {
    super();
    this.#options = {
      stopTimeoutMs: 5000,
      stderrLines: 20,
      clock: { now: Date.now, setTimeout, clearTimeout },
      ...options,
    };
    options.signal?.addEventListener('abort', () => this.stop(), { once: true });
  }

  get state() {
    return this.#state;
  }

  get pid() {
    return this.#run?.child?.pid;
  }

  start() {
    if (this.#supervising || this.#options.signal?.aborted) return;
    this.#supervising = true;
    this.#delayMs = FIRST_DELAY_MS;
    // Never from within start(): listeners and iterators set up right after it hear everything.
    if (!this.#run) process.nextTick(() => this.#spawn());
  }

  stop() {
    this.#supervising = false;
    this.#cancelTimer();
    const run = this.#run;
    if (!run) {
      this.emit(ENDED);
      return Promise.resolve();
    }
    if (!run.stopped) {
      const { clock, stopTimeoutMs } = this.#options;
      run.stopped = new Promise((resolve) => run.child.once('close', () => resolve()));
      // On Windows any kill is TerminateProcess; on Linux the detector ends after the line it writes.
      run.child.kill();
      run.hardKill = clock.setTimeout(() => run.child.kill('SIGKILL'), stopTimeoutMs);
    }
    return run.stopped;
  }

  async *events() {
    for await (const [event] of on(this, 'event', { close: [ENDED] })) yield event;
  }

  [Symbol.asyncDispose]() {
    return this.stop();
  }

  #spawn() {
    this.#timer = null;
    if (!this.#supervising) return;
    const path = this.#options.binaryPath ?? resolveBinaryPath();
    if (!path) {
      return this.#unavailable('unsupported-platform', `no detector for ${process.platform}-${process.arch}`);
    }
    const run = { started: false, startedAt: this.#options.clock.now(), out: '', err: '', tail: [] };
    try {
      run.child = spawn(path, [], {
        stdio: ['ignore', 'pipe', 'pipe'],
        windowsHide: true,
        env: this.#options.env,
      });
    } catch (error) {
      // EPERM and UNKNOWN, typically security software, are thrown rather than emitted.
      return this.#spawnFailed(path, error);
    }
    this.#run = run;
    run.child.on('error', (error) => (run.error ??= error));
    // A pipe that fails ends like one that closes; unhandled, its error would end the app.
    for (const stream of [run.child.stdout, run.child.stderr]) stream.on('error', () => {});
    run.child.stdout.setEncoding('utf8').on('data', (chunk) => {
      for (const line of splitLines(run, 'out', chunk)) this.#stdoutLine(run, line);
    });
    run.child.stderr.setEncoding('utf8').on('data', (chunk) => {
      for (const line of splitLines(run, 'err', chunk)) this.#stderrLine(run, line);
    });
    run.child.on('exit', () => {
      // Whatever else holds the pipes (a wrapper's children) gets a moment, then loses them.
      const grace = setTimeout(() => run.child.stdio.forEach((s) => s?.destroy()), CLOSE_GRACE_MS);
      run.child.once('close', () => clearTimeout(grace));
    });
    run.child.on('close', (status, signal) => this.#closed(run, path, status, signal));
  }

  #stdoutLine(run, line) {
    let event;
    try {
      event = JSON.parse(line);
    } catch {
      return this.emit('invalid-line', { line, reason: 'not-json' });
    }
    if (typeof event?.type !== 'string') {
      return this.emit('invalid-line', { line, reason: 'not-an-event' });
    }
    if (!KNOWN_TYPES.has(event.type)) return this.emit('unknown-event', event);
    if (event.type === 'started') run.started = true;
    this.emit('event', event);
    if (event.type === 'audio_process_snapshot') this.#setState(stateOf(event));
  }

  #stderrLine(run, line) {
    run.tail.push(line);
    if (run.tail.length > this.#options.stderrLines) run.tail.shift();
    this.emit('stderr', line);
  }

  #closed(run, path, status, signal) {
    this.#run = null;
    this.#options.clock.clearTimeout(run.hardKill);
    if (run.child.pid === undefined) {
      return this.#supervising ? this.#spawnFailed(path, run.error) : this.emit(ENDED);
    }
    // The program ended in the middle of a line; the text before is no event.
    if (run.out) this.emit('invalid-line', { line: run.out, reason: 'truncated' });
    if (run.err) this.#stderrLine(run, run.err);
    this.#setState(UNKNOWN);
    const ours = Boolean(run.stopped);
    // Before its first line a run that failed with anything but 101 could not start at all.
    const restart = this.#supervising && !ours && (run.started || status === EXIT_FAULT || signal !== null);
    const restartInMs = restart ? this.#nextDelay(run) : null;
    this.emit('exit', { status, signal, restartInMs, stderr: run.tail });
    if (restart) {
      this.#timer = this.#options.clock.setTimeout(() => this.#spawn(), restartInMs);
    } else if (this.#supervising && !ours) {
      this.#unavailable('startup-failed', `the detector exited with status ${status} before it started`, run.tail);
    } else if (this.#supervising) {
      this.#spawn(); // start() came while stop() was waiting for this run to end
    } else {
      this.emit(ENDED);
    }
  }

  #nextDelay(run) {
    if (this.#options.clock.now() - run.startedAt >= GOOD_RUN_MS) this.#delayMs = FIRST_DELAY_MS;
    const delayMs = this.#delayMs;
    this.#delayMs = Math.min(delayMs * 2, LONGEST_DELAY_MS);
    return delayMs;
  }

  #spawnFailed(path, error) {
    if (error.code === 'ENOENT') return this.#unavailable('binary-missing', `${path} is missing`);
    const hint = ['EPERM', 'UNKNOWN', 'EACCES'].includes(error.code)
      ? ' (is it executable? Security software may have blocked or quarantined it)'
      : '';
    this.#unavailable('spawn-failed', `cannot run ${path}: ${error.message}${hint}`, [], error);
  }

  #unavailable(reason, message, stderr = [], error = undefined) {
    const retries = reason === 'startup-failed' || reason === 'spawn-failed';
    const retryInMs = retries && this.#options.retryUnavailableMs > 0 ? this.#options.retryUnavailableMs : null;
    this.emit('unavailable', { reason, message, stderr, retryInMs, error });
    if (retryInMs !== null) {
      this.#timer = this.#options.clock.setTimeout(() => this.#spawn(), retryInMs);
    } else {
      this.#supervising = false;
      this.emit(ENDED);
    }
  }

  #cancelTimer() {
    if (this.#timer !== null) this.#options.clock.clearTimeout(this.#timer);
    this.#timer = null;
  }

  #setState(state) {
    if (sameState(state, this.#state)) return;
    this.#state = state;
    this.emit('state', state);
  }
}

// The complete lines in what has come so far; the rest waits in run[key] for its line feed.
function splitLines(run, key, chunk) {
  const lines = (run[key] + chunk).split('\n');
  run[key] = lines.pop();
  return lines;
}

// Who uses a microphone, folded per application as call_app_mic_state folds it: the pid only
// when exactly one process of the application captures.
function stateOf(snapshot) {
  const users = new Map();
  for (const { bundleId, appName, pid, active } of snapshot.trackedApps) {
    if (active) users.set(bundleId, { appName, pid: users.has(bundleId) ? null : pid });
  }
  return Object.freeze({ known: true, inMeeting: users.size > 0, users });
}

function sameState(a, b) {
  if (a.known !== b.known || a.users.size !== b.users.size) return false;
  for (const [bundleId, { appName, pid }] of a.users) {
    const other = b.users.get(bundleId);
    if (other?.appName !== appName || other?.pid !== pid) return false;
  }
  return true;
}
