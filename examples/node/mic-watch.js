#!/usr/bin/env node
// Runs the detector, reacts to meetings starting and ending, keeps the list of applications
// that use the microphone, and starts the detector again, after a pause, when it exits with
// status 101.
//
//   node mic-watch.js [DETECTOR [ARGUMENT...]]
//
// DETECTOR defaults to kolvex-mic-detector-win.exe on Windows and kolvex-mic-detector
// elsewhere, found on the PATH.
'use strict';

const { spawn } = require('node:child_process');
const readline = require('node:readline');

const [command, ...args] = process.argv.length > 2
  ? process.argv.slice(2)
  : [process.platform === 'win32' ? 'kolvex-mic-detector-win.exe' : 'kolvex-mic-detector'];

const FIRST_PAUSE_MS = 1000;
const LONGEST_PAUSE_MS = 60000;
// A run this long was a good one: the next failure starts the pauses over.
const GOOD_RUN_MS = 60000;

// bundleId (the executable's file name) -> { appName, pid }
const micUsers = new Map();
let pause = FIRST_PAUSE_MS;
let detector = null;
let stopping = false;

function showMicUsers() {
  const users = [...micUsers].map(([bundleId, { appName, pid }]) =>
    `${appName} (${bundleId}${pid === null ? '' : `, pid ${pid}`})`);
  console.log(`microphone in use: ${users.length ? users.join(', ') : 'nobody'}`);
}

function handle(event) {
  switch (event.type) {
    case 'started':
      console.log('detector started');
      break;
    case 'call_app_mic_state':
      // pid is null when several processes of the application use the microphone.
      if (event.active) {
        micUsers.set(event.bundleId, { appName: event.appName, pid: event.pid });
      } else {
        micUsers.delete(event.bundleId);
      }
      showMicUsers();
      break;
    case 'meeting_started':
      console.log(`meeting started: ${event.appName} (${event.bundleId})`);
      break;
    case 'meeting_ended':
      console.log('meeting ended');
      break;
    default:
      // audio_process_snapshot, device_lifecycle, and types added later.
      break;
  }
}

function start() {
  const startedAt = Date.now();
  // Standard error carries messages for people: pass it on as it is.
  detector = spawn(command, args, { stdio: ['ignore', 'pipe', 'inherit'] });
  detector.on('error', (error) => {
    console.error(`cannot run ${command}: ${error.message}`);
    process.exit(1);
  });
  const lines = readline.createInterface({ input: detector.stdout, crlfDelay: Infinity });
  lines.on('line', (line) => {
    let event;
    try {
      event = JSON.parse(line);
    } catch (error) {
      console.error(`not an event: ${line}`);
      return;
    }
    handle(event);
  });
  // 'close' comes after the last line has been read.
  detector.on('close', (status, signal) => {
    detector = null;
    if (stopping) return;
    if (micUsers.size > 0) {
      // A new detector reports every application afresh.
      micUsers.clear();
      console.log('microphone in use: unknown until the detector is back');
    }
    if (status !== 101) {
      // 1: it could not start (no audio service); anything else: it was stopped from outside.
      console.error(`detector ended (${signal ?? `status ${status}`}); not starting it again`);
      process.exit(1);
    }
    if (Date.now() - startedAt >= GOOD_RUN_MS) pause = FIRST_PAUSE_MS;
    console.log(`detector exited with status 101; starting it again in ${pause / 1000} s`);
    setTimeout(start, pause);
    pause = Math.min(pause * 2, LONGEST_PAUSE_MS);
  });
}

for (const signal of ['SIGINT', 'SIGTERM']) {
  process.on(signal, () => {
    stopping = true;
    if (detector) {
      // 'exit', not 'close': whatever else holds its output open is no reason to stay.
      detector.once('exit', () => process.exit(0));
      detector.kill();
    } else {
      process.exit(0);
    }
  });
}

start();
