#!/usr/bin/env node
// Stands in for the detector. FAKE_RUNS has a word per run (the last repeats); FAKE_COUNT counts
// runs. 101: exits before started. 127: an error, exits. 1, killed: started, exits 1 or is
// killed. fragment: started, half a line, exits 101. long: "a long run" on stderr, then as 1.
// live: started, lines of other kinds, a snapshot, then runs. stubborn: live, ignoring SIGTERM.
import { readFileSync, writeFileSync } from 'node:fs';

const count = Number(readFileSync(process.env.FAKE_COUNT, { encoding: 'utf8', flag: 'a+' }) || 0);
writeFileSync(process.env.FAKE_COUNT, String(count + 1));
const runs = process.env.FAKE_RUNS.split(',');
const run = runs[Math.min(count, runs.length - 1)];
const write = (text) => process.stdout.write(text);
const zoom = { appName: 'Zoom', bundleId: 'zoom', captureActive: true, captureEndpointRole: 'other', renderActive: false };

if (run === '127') process.stderr.write('Error: no audio here\n');
if (run === '101' || run === '127') process.exit(Number(run));
if (run === 'long') process.stderr.write('a long run\n');
write('{"ts":1.5,"type":"started"}\n');
if (run === 'fragment') write('{"ts":1.5,"type":"meeting_');
if (run === 'killed') process.kill(process.pid, 'SIGKILL');
if (run !== 'live' && run !== 'stubborn') process.exit(run === 'fragment' ? 101 : 1);
if (run === 'stubborn') process.on('SIGTERM', () => process.stderr.write('ignoring SIGTERM\n'));
write('{"ts":1.5,"type":"future_event"}\nnot json\n');
// A snapshot with what the package reads of it: two capturing processes of one application.
const trackedApps = [7, 8].map((pid) => ({ ...zoom, active: true, pid }));
write(`${JSON.stringify({ trackedApps, ts: 1.5, type: 'audio_process_snapshot' })}\n`);
setInterval(() => {}, 60_000);
