// The package as an app gets it: packed, installed into a new project without scripts, loaded,
// put into an Electron archive, and run against a private PulseAudio server.
import asar from '@electron/asar';
import assert from 'node:assert/strict';
import { execFileSync, spawn, spawnSync } from 'node:child_process';
import { copyFileSync, mkdirSync, mkdtempSync, readFileSync, rmSync, statSync, symlinkSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { poll, until } from './helpers.js';

const root = new URL('..', import.meta.url).pathname;
const work = mkdtempSync(join(tmpdir(), 'kolvex-npm-'));
const app = join(work, 'app');
const installed = join(app, 'node_modules/@kolvex/mic-detector');
const PROGRAMS = ['linux-x64/kolvex-mic-detector', 'linux-arm64/kolvex-mic-detector',
  'win32-x64/kolvex-mic-detector-win.exe'];
const { version } = JSON.parse(readFileSync(join(root, 'package.json')));
const run = (command, args, options) => execFileSync(command, args, { encoding: 'utf8', ...options });
const pulse = { dir: join(work, 'pulse') };
pulse.env = { ...process.env, PULSE_SERVER: `unix:${pulse.dir}/native`, PULSE_COOKIE: join(pulse.dir, 'cookie') };

before(async () => {
  const [{ filename }] = JSON.parse(run('npm', ['pack', '--json', '--pack-destination', work], { cwd: root }));
  mkdirSync(app);
  writeFileSync(join(app, 'package.json'), '{ "name": "app", "private": true }');
  run('npm', ['install', '--ignore-scripts', '--no-audit', '--no-fund', join(work, filename)], { cwd: app });
  mkdirSync(pulse.dir);
  pulse.server = spawn('pulseaudio', ['-n', '--daemonize=no', '--exit-idle-time=-1', '--disallow-exit',
    '-L', `module-native-protocol-unix socket=${pulse.dir}/native`, '-L', 'module-null-source source_name=mic'],
  { stdio: 'ignore', env: { ...process.env, HOME: pulse.dir, XDG_RUNTIME_DIR: pulse.dir } });
  await poll(() => spawnSync('pactl', ['info'], { env: pulse.env }).status === 0, 'the PulseAudio server');
});
after(() => [pulse.server?.kill(), rmSync(work, { recursive: true, force: true })]);

test('import and require load it, and its program answers with its version', () => {
  for (const [type, load] of [['module', "import * as m from '@kolvex/mic-detector'"],
    ['commonjs', "const m = require('@kolvex/mic-detector')"]]) {
    const path = run('node', [`--input-type=${type}`, '-e', `${load}; console.log(m.resolveBinaryPath())`], { cwd: app });
    assert.equal(path, `${installed}/bin/${PROGRAMS[0]}\n`, type);
  }
  for (const program of PROGRAMS) assert.equal(statSync(`${installed}/bin/${program}`).mode & 0o777, 0o755);
  assert.equal(run(`${installed}/bin/${PROGRAMS[0]}`, ['--version']), `kolvex-mic-detector ${version}\n`);
});

// The machine an ELF or PE program is built for, as the system's loader reads it.
function machine(path) {
  const head = readFileSync(path);
  if (head.toString('latin1', 0, 4) === '\x7fELF') return { 62: 'x64', 183: 'arm64' }[head.readUInt16LE(18)];
  return { 0x8664: 'x64', 0xaa64: 'arm64' }[head.readUInt16LE(head.readUInt32LE(0x3c) + 4)];
}

test('resolveBinaryPath: a program built for each platform served, the x64 one on Windows on ARM', async () => {
  const { resolveBinaryPath } = await import(join(installed, 'src/index.js'));
  const answers = [
    ['linux', 'x64', 'linux-x64/kolvex-mic-detector', 'x64'],
    ['linux', 'arm64', 'linux-arm64/kolvex-mic-detector', 'arm64'],
    ['win32', 'x64', 'win32-x64/kolvex-mic-detector-win.exe', 'x64'],
    ['win32', 'arm64', 'win32-x64/kolvex-mic-detector-win.exe', 'x64'],
    ['darwin', 'arm64', null],
    ['linux', 'ia32', null],
    ['win32', 'ia32', null],
  ];
  for (const [platform, arch, program, built] of answers) {
    const path = resolveBinaryPath(platform, arch);
    assert.equal(path, program && join(installed, 'bin', program), `${platform}-${arch}`);
    if (path) assert.equal(machine(path), built, path);
  }
});

test("types: a consumer compiles with TypeScript 7 and 5.3, and what it marks as misuse does not", () => {
  const options = ['--noEmit', '--strict', '--module', 'nodenext', '--target', 'es2022', '--types', 'node'];
  for (const compiler of ['typescript', 'typescript-5']) {
    run('node', [join(root, 'node_modules', compiler, 'bin/tsc'), ...options, join(root, 'test/consumer.ts')]);
  }
});

test("Electron: the README's glob unpacks the programs, and the path resolved inside app.asar runs", async () => {
  const globs = [...readFileSync(join(root, 'README.md'), 'utf8').matchAll(/(?:asarUnpack: \[|unpack: )'([^']+)'/g)];
  assert.deepEqual(globs.map((m) => m[1]), [globs[0][1], globs[0][1]]);
  await asar.createPackageWithOptions(app, join(work, 'out/app.asar'), { unpack: globs[0][1] });
  const unpacked = join(work, 'out/app.asar.unpacked/node_modules/@kolvex/mic-detector/bin');
  for (const program of PROGRAMS) assert.equal(statSync(join(unpacked, program)).mode & 0o777, 0o755);
  // The archive as Electron shows it to the app: a folder app.asar beside app.asar.unpacked.
  asar.extractAll(join(work, 'out/app.asar'), join(work, 'view/app.asar'));
  symlinkSync(join(work, 'out/app.asar.unpacked'), join(work, 'view/app.asar.unpacked'));
  const { resolveBinaryPath } = await import(join(work, 'view/app.asar/node_modules/@kolvex/mic-detector/src/index.js'));
  assert.match(resolveBinaryPath(), /\/view\/app\.asar\.unpacked\/node_modules\//);
  assert.equal(run(resolveBinaryPath(), ['--version']), `kolvex-mic-detector ${version}\n`);
});

test('end to end: a recorder named zoom is a meeting, with its pid, until it stops', async () => {
  const { MicDetector } = await import(join(installed, 'src/index.js'));
  const { validateEvent } = await import(join(installed, 'src/events.js'));
  const detector = new MicDetector({ env: pulse.env });
  const lines = [];
  for (const channel of ['event', 'unknown-event', 'invalid-line']) detector.on(channel, (e) => lines.push(e));
  detector.start();
  await until(detector, 'state', (state) => state.known);
  copyFileSync('/usr/bin/pacat', join(work, 'zoom'));
  // Each wait is set before what it waits for: a poll's lines come in one read.
  const [started, inMeeting] = [until(detector, 'event', (e) => e.type === 'meeting_started'),
    until(detector, 'state', (state) => state.inMeeting)];
  const zoom = spawn(join(work, 'zoom'), ['--record', '--raw', '-d', 'mic'], { stdio: 'ignore', env: pulse.env });
  assert.equal((await started).pid, zoom.pid);
  assert.deepEqual((await inMeeting).users, new Map([['zoom', { appName: 'Zoom', pid: zoom.pid }]]));
  const ended = Promise.all([until(detector, 'event', (e) => e.type === 'meeting_ended'),
    until(detector, 'state', (state) => !state.inMeeting)]);
  zoom.kill();
  await ended;
  await detector.stop();
  for (const line of lines) assert.ok(validateEvent(line), JSON.stringify([line, validateEvent.errors]));
});

test('the program ends at its next line once its parent is killed', async () => {
  const parent = spawn('node', ['--input-type=module', '-e', `import { MicDetector } from '@kolvex/mic-detector';
    const d = new MicDetector(); d.once('state', () => console.log(d.pid)); d.start();`],
  { cwd: app, env: pulse.env, stdio: ['ignore', 'pipe', 'inherit'] });
  const pid = Number(await until(parent.stdout, 'data', () => true));
  assert.ok(pid > 0);
  parent.kill('SIGKILL');
  // Gone, or dead and waiting for a reaper.
  await poll(() => !/\) [^Z]/.test(spawnSync('cat', [`/proc/${pid}/stat`], { encoding: 'utf8' }).stdout), 'its end');
});
