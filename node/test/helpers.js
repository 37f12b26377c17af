import assert from 'node:assert/strict';
import { setTimeout as sleep } from 'node:timers/promises';

// The first value on the channel that passes the test.
export const until = (emitter, channel, test) => new Promise((resolve) => emitter.on(channel, function check(value) {
  if (!test(value)) return;
  emitter.off(channel, check);
  resolve(value);
}));

// A condition checked every 100 ms for up to a minute: never a test of speed.
export async function poll(condition, what) {
  for (let i = 0; i < 600 && !condition(); i++) await sleep(100);
  assert.ok(condition(), `timed out waiting for ${what}`);
}
