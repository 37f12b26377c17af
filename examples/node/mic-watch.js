#!/usr/bin/env node
// Runs the detector through the npm package (node/ in the source tree), reacts to meetings
// starting and ending and shows the applications that use the microphone. The package starts
// the detector again, after a pause, when it exits with status 101.
//
//   node mic-watch.js [DETECTOR]
//
// DETECTOR defaults to the program the package carries (node/bin/ once scripts/test has put
// it there).
import { MicDetector } from '../../node/src/index.js'; // in an app: '@kolvex/mic-detector'

const detector = new MicDetector({ binaryPath: process.argv[2] });

detector.on('event', (event) => {
  if (event.type === 'started') console.log('detector started');
  if (event.type === 'meeting_started') console.log(`meeting started: ${event.appName} (${event.bundleId})`);
  if (event.type === 'meeting_ended') console.log('meeting ended');
});
detector.on('state', ({ known, users }) => {
  const names = [...users].map(([bundleId, { appName, pid }]) =>
    `${appName} (${bundleId}${pid === null ? '' : `, pid ${pid}`})`);
  console.log(`microphone in use: ${known ? names.join(', ') || 'nobody' : 'unknown until the detector is back'}`);
});
// Standard error carries messages for people: pass it on as it is.
detector.on('stderr', (line) => console.error(line));
detector.on('exit', ({ status, signal, restartInMs }) => {
  if (restartInMs === null) return;
  console.log(`detector exited with ${signal ?? `status ${status}`}; starting it again in ${restartInMs / 1000} s`);
});
detector.on('unavailable', ({ message }) => {
  console.error(`detector unavailable: ${message}`);
  process.exit(1);
});
for (const signal of ['SIGINT', 'SIGTERM']) {
  process.once(signal, () => detector.stop().then(() => process.exit(0)));
}
detector.start();
