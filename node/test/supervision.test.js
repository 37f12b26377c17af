// Supervision of a fake detector, with timers that fire at once (or when the test says) and
// record the delays asked of them.
import assert from 'node:assert/strict';
import { once } from 'node:events';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, test } from 'node:test';
import { MicDetector } from '@kolvex/mic-detector';
import { until } from './helpers.js';

const work = mkdtempSync(join(tmpdir(), 'kolvex-fake-'));
after(() => rmSync(work, { recursive: true, force: true }));

function fake(runs, options = {}) {
  const count = join(mkdtempSync(join(work, 'run-')), 'count');
  const clock = { t: 0, delays: [], held: new Set(), hold: false, now: () => clock.t,
    setTimeout(fn, ms) {
      clock.delays.push(ms);
      return clock.hold ? (clock.held.add(fn), fn) : setImmediate(fn);
    },
    clearTimeout: (handle) => (clock.held.has(handle) ? clock.held.delete(handle) : clearImmediate(handle)),
  };
  const detector = new MicDetector({ binaryPath: new URL('fake-detector.js', import.meta.url).pathname,
    env: { ...process.env, FAKE_RUNS: runs, FAKE_COUNT: count }, clock, ...options });
  const seen = { exit: [], 'invalid-line': [], 'unknown-event': [] };
  for (const channel of Object.keys(seen)) detector.on(channel, (value) => seen[channel].push(value));
  return { detector, clock, seen, runs: () => Number(readFileSync(count, 'utf8')) };
}

test('restarts after 101 or any exit after started, 1 s doubling to 60 s, from 1 s after a long run', async () => {
  const abort = new AbortController();
  const { detector, clock, seen, runs } = fake('101,1,101,fragment,killed,1,101,long,1,live', { signal: abort.signal });
  detector.on('stderr', (line) => line === 'a long run' && (clock.t += 60_000));
  detector.start();
  await until(detector, 'state', (state) => state.known);
  assert.deepEqual(clock.delays, [1000, 2000, 4000, 8000, 16000, 32000, 60000, 1000, 2000]);
  assert.deepEqual(seen.exit.map((e) => e.restartInMs), clock.delays);
  assert.equal(seen.exit[4].signal, 'SIGKILL');
  assert.deepEqual(seen['invalid-line'], [{ line: '{"ts":1.5,"type":"meeting_', reason: 'truncated' },
    { line: 'not json', reason: 'not-json' }]);
  assert.deepEqual(seen['unknown-event'], [{ ts: 1.5, type: 'future_event' }]);
  assert.deepEqual(detector.state, { known: true, inMeeting: true, users: new Map([['zoom', { appName: 'Zoom', pid: null }]]) });
  clock.hold = true;
  abort.abort();
  const [exit] = await once(detector, 'exit');
  assert.deepEqual([exit.signal, exit.restartInMs, detector.state.known, runs()], ['SIGTERM', null, false, 10]);
});

test('unavailable before started: no restart, unless asked for a slow retry', async (t) => {
  const noAudio = ['Error: no audio here'];
  for (const [name, runs, options, reason, stderr, retryInMs] of [
    ['127 before started', '127', {}, 'startup-failed', noAudio, null],
    ['127, slow retry', '127', { retryUnavailableMs: 300_000 }, 'startup-failed', noAudio, 300_000],
    ['no program', '', { binaryPath: '/nonexistent/kolvex-mic-detector' }, 'binary-missing', [], null],
    ['not executable', '', { binaryPath: new URL(import.meta.url).pathname }, 'spawn-failed', [], null],
  ]) {
    await t.test(name, async () => {
      const { detector, clock } = fake(runs, options);
      clock.hold = true;
      const events = (async (list = []) => {
        for await (const event of detector.events()) list.push(event);
        return list;
      })();
      detector.start();
      const [unavailable] = await once(detector, 'unavailable');
      if (retryInMs !== null) await detector.stop();
      assert.deepEqual(await events, []);
      assert.deepEqual([unavailable.reason, unavailable.stderr, unavailable.retryInMs], [reason, stderr, retryInMs]);
      assert.deepEqual(clock.delays, retryInMs === null ? [] : [retryInMs]);
    });
  }
});

test('stop() kills hard when SIGTERM is ignored, and does not restart', async () => {
  const { detector, clock, seen, runs } = fake('stubborn', { stopTimeoutMs: 4321 });
  detector.start();
  await until(detector, 'state', (state) => state.known);
  clock.hold = true;
  const stopped = detector[Symbol.asyncDispose]();
  await until(detector, 'stderr', (line) => line === 'ignoring SIGTERM');
  assert.deepEqual(clock.delays, [4321]);
  [...clock.held][0]();
  await stopped;
  assert.deepEqual(seen.exit.map((e) => [e.signal, e.restartInMs]), [['SIGKILL', null]]);
  assert.deepEqual([detector.state.known, runs()], [false, 1]);
});
