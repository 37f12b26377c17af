// Compiled, not run: what a consumer writes must type-check, and what it must not write must not.
import { MicDetector, type DetectorEvent, type MicState } from '@kolvex/mic-detector';
import { validateEvent, type CallAppMicState } from '@kolvex/mic-detector/events';

const detector = new MicDetector({ signal: AbortSignal.timeout(1000) });
detector.on('event', (e) => {
  if (e.type === 'call_app_mic_state') {
    const bundleId: string = e.bundleId;
    // @ts-expect-error: a misspelt member
    e.bundelId;
    if (!e.active) {
      const pid: null = e.pid;
      const role: 'unknown' = e.captureEndpointRole;
    }
  }
  if (e.type === 'device_lifecycle' && e.change === 'endpoint_state_changed') e.state;
});
detector.on('state', ({ known, inMeeting, users }: MicState) => users.get('zoom')?.pid);
detector.on('unavailable', ({ reason, stderr }) => reason === 'spawn-failed' && stderr.join('\n'));
// @ts-expect-error: no such channel
detector.on('error', (error: Error) => {});
// @ts-expect-error: no such event type
detector.on('event', (e) => e.type === 'meeting_start');

async function follow(line: string): Promise<CallAppMicState | undefined> {
  await using watched = detector;
  for await (const e of watched.events()) if (e.type === 'meeting_ended') break;
  const parsed: unknown = JSON.parse(line);
  const event: DetectorEvent | undefined = validateEvent(parsed) ? parsed : undefined;
  return event?.type === 'call_app_mic_state' ? event : undefined;
}
