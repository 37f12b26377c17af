// Compiled, not run: what a consumer writes must type-check, and the misuse marked below must not.
import { MicDetector, type MicState } from '@kolvex/mic-detector';
import { validateEvent } from '@kolvex/mic-detector/events';

const detector = new MicDetector({ signal: AbortSignal.timeout(1000) });
detector.on('event', (e) => {
  if (e.type !== 'call_app_mic_state') return;
  // @ts-expect-error: a misspelt member
  e.bundelId;
  const inactive: { pid: null; captureEndpointRole: 'unknown' } | undefined = e.active ? undefined : e;
});
detector.on('state', (state: MicState) => state.users.get('zoom')?.pid);
detector.on('unavailable', ({ reason, stderr }) => reason === 'spawn-failed' && stderr.join('\n'));
// @ts-expect-error: no such channel
detector.on('error', (error: Error) => {});
// @ts-expect-error: no such event type
detector.on('event', (e) => e.type === 'meeting_start');

export async function follow(line: unknown): Promise<string | undefined> {
  await using watched = detector;
  for await (const e of watched.events()) if (e.type === 'meeting_ended') break;
  return validateEvent(line) && line.type === 'meeting_started' ? line.appName : undefined;
}
