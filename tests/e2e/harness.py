"""Shared pieces of the end-to-end tests: a private PulseAudio server, a detector run as a
consumer would run it, and checks on what it writes."""

import contextlib
import fcntl
import functools
import json
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import threading
import time

import jsonschema

SCHEMA_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                           "events.schema.json")


class AudioServer:
    """A private audio server: started on entry, stopped and its folder removed on exit; pactl
    against it alone. Subclasses set `dir` and provide env, start() and stop()."""

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            shutil.rmtree(self.dir, ignore_errors=True)
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def health(self):
        """What to print beside a failed check: the server's defaults, as its clients see them."""
        info = self.pactl("info")
        return "".join("%s\n" % line for line in (info.stdout + info.stderr).splitlines()
                       if line.startswith(("Default Sink", "Default Source")) or info.returncode)

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=dict(os.environ, **self.env),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)

    def must(self, *args):
        """pactl that has to succeed; its output."""
        result = self.pactl(*args)
        assert result.returncode == 0, (args, result.stderr)
        return result.stdout.strip()


class PulseServer(AudioServer):
    """A PulseAudio server of the test's own with a null sink and a null source."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="kolvex-pulse-")
        self.socket = os.path.join(self.dir, "native")
        self.process = None

    @property
    def env(self):
        # libpulse would otherwise write a cookie into the real HOME.
        return {"PULSE_SERVER": "unix:" + self.socket,
                "PULSE_COOKIE": os.path.join(self.dir, "cookie")}

    def start(self):
        # The daemon's default of 256 open files allows only some sixty null endpoints.
        config = os.path.join(self.dir, ".config", "pulse")
        os.makedirs(config, exist_ok=True)
        with open(os.path.join(config, "daemon.conf"), "w") as f:
            f.write("rlimit-nofile = 8192\n")
        log = open(os.path.join(self.dir, "pulseaudio.log"), "ab")
        self.process = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
             "-L", "module-native-protocol-unix socket=" + self.socket,
             "-L", "module-null-sink sink_name=spk",
             "-L", "module-null-source source_name=mic"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log,
            env=dict(os.environ, HOME=self.dir, XDG_RUNTIME_DIR=self.dir))
        wait_for(lambda: self.pactl("info").returncode == 0, "the PulseAudio server to answer")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=30)

    def kill(self):
        """The server dies as in a crash, without saying goodbye to its clients."""
        self.process.kill()
        self.process.wait(timeout=30)

    def add_source(self, name):
        """A further null microphone; the module index, for unload-module."""
        return self.must("load-module", "module-null-source", "source_name=" + name)


# A pid namespace of its own, as Flatpak gives every app; its first process ends all of it.
UNSHARE = ["unshare", "--pid", "--fork", "--mount-proc", "--kill-child"]


def unshare_refused():
    """Why a pid namespace cannot be had here, or None."""
    result = subprocess.run(UNSHARE + ["true"], capture_output=True, text=True)
    return result.returncode and (result.stderr.strip() or "status %d" % result.returncode)


def nspids(pid):
    """The pids of a process in each pid namespace it is in, outermost first."""
    with open("/proc/%d/status" % pid) as f:
        return [int(p) for line in f if line.startswith("NSpid:") for p in line.split()[1:]]


class Client:
    """A real audio client: Debian's pacat (or, `native`, PipeWire's own pw-cat), copied to
    `name` in `bindir`, so that /proc/<pid>/exe ends in that name. Several clients of one name
    share one executable. A name may be bytes that are not UTF-8. `sandboxed`, it runs as pid 2
    of a pid namespace of its own, as a Flatpak app does; `pid` is its pid here."""

    def __init__(self, pulse, bindir, name, *args, stdin=subprocess.DEVNULL, native=False,
                 sandboxed=False):
        folder = os.path.join(os.fsencode(bindir), b"native" if native else b"pulse")
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, os.fsencode(name))
        if not os.path.exists(path):
            shutil.copy2(shutil.which("pw-cat" if native else "pacat"), path)
        self.path = path
        sandbox = UNSHARE + ["sh", "-c", '"$0" "$@" & wait'] if sandboxed else []
        self.process = subprocess.Popen(sandbox + [path, *args], stdin=stdin,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        env=dict(os.environ, **pulse.env))
        self.pid = self.process.pid
        self.sandboxed = sandboxed
        if sandboxed:
            found = []
            wait_for(lambda: found.extend(self._sandboxed_pid()) or found, "a sandboxed client")
            self.pid = found[0]

    def _sandboxed_pid(self):
        for entry in os.listdir("/proc"):
            try:
                if (entry.isdigit() and os.readlink(b"/proc/%s/exe" % entry.encode()) == self.path
                        and nspids(int(entry))[1:] == [2]):
                    return [int(entry)]
            except OSError:  # gone meanwhile, or not ours to read
                pass
        return []

    def stop(self):
        # unshare ignores SIGTERM while it waits; killed, it takes its namespace along.
        if self.process.poll() is None:
            self.process.kill() if self.sandboxed else self.process.terminate()
        self.process.wait(timeout=30)


def children(pid):
    """The processes whose parent is `pid`."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry) as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except OSError:
            pass
    return found


def wait_for(condition, what, deadline=60.0):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


class Detector:
    """The detector as a child process whose stdout and stderr go to files we read."""

    def __init__(self, argv, env, workdir):
        self.out_path = os.path.join(workdir, "stdout")
        self.err_path = os.path.join(workdir, "stderr")
        self.parsed = []  # the file only grows: each line is checked once
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=err, env=env, start_new_session=True)

    def lines(self):
        with open(self.out_path, "rb") as f:
            data = f.read()
        return data.split(b"\n")[:-1]

    def events(self):
        lines = self.lines()
        self.parsed += [parse_event(line) for line in lines[len(self.parsed):]]
        return list(self.parsed)

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def wait_for_events(self, condition, what, deadline=60.0):
        wait_for(lambda: condition(self.events()) or self.process.poll() is not None, what,
                 deadline)
        assert self.process.poll() is None, "detector exited: %s" % self.stderr()

    def pause(self):
        os.kill(self.process.pid, signal.SIGSTOP)

    def resume(self):
        os.kill(self.process.pid, signal.SIGCONT)

    def stop(self):
        """Ends the run; every line it wrote must have been an event."""
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait(timeout=30)
        self.events()


@functools.lru_cache(maxsize=None)
def validator(event_type=None):
    """The schema's validator; for a type it names, the validator of that type's branch alone,
    whose complaints are clearer than those of a whole oneOf."""
    with open(SCHEMA_PATH) as f:
        schema = json.load(f)
    if event_type in schema["$defs"]:
        schema = {"$ref": "#/$defs/" + event_type, "$defs": schema["$defs"]}
    return jsonschema.Draft202012Validator(schema)


class StallableDetector(Detector):
    """A detector whose stdout is a small pipe that a thread of ours copies into the file.
    Within `stalled()` the copying stops and the pipe is full, so the detector's next write
    waits, as for a reader that stopped reading; what we filled it with is dropped later."""

    def __init__(self, argv, env, workdir):
        self.out_path = os.path.join(workdir, "stdout")
        self.err_path = os.path.join(workdir, "stderr")
        self.parsed = []
        self.read_end, self.write_end = os.pipe()
        fcntl.fcntl(self.write_end, 1031, 4096)  # F_SETPIPE_SZ: the smallest pipe there is
        os.set_blocking(self.read_end, False)
        with open(self.err_path, "wb") as err:
            self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.write_end,
                                            stderr=err, env=env, start_new_session=True)
        self.out = open(self.out_path, "wb", buffering=0)
        self.lock = threading.Lock()
        self.copying = True
        self.filler = 0
        threading.Thread(target=self._copy, daemon=True).start()

    def _copy(self):
        more = True
        while more:
            select.select([self.read_end], [], [], 0.05)
            with self.lock:
                if self.copying:
                    more = self._copy_what_the_pipe_holds()

    def _copy_what_the_pipe_holds(self):
        """False once every writer has closed the pipe."""
        while True:
            try:
                data = os.read(self.read_end, 65536)
            except BlockingIOError:
                return True
            if not data:
                return False
            dropped = min(self.filler, len(data))
            self.filler -= dropped
            self.out.write(data[dropped:])

    def pause(self):
        super().pause()
        tasks = "/proc/%d/task" % self.process.pid
        wait_for(lambda: all(open("%s/%s/stat" % (tasks, task)).read().rsplit(")", 1)[1].split()[0]
                             in "tT" for task in os.listdir(tasks)), "the detector stopped")

    @contextlib.contextmanager
    def stalled(self):
        """Every line written before it is in the file when the block starts; every line after
        it comes after the filler."""
        self.pause()
        with self.lock:
            self.copying = False
            self._copy_what_the_pipe_holds()
        # The pipe's end is shared with the detector, blocking mode and all: it is held while
        # the pipe is filled without waiting.
        os.set_blocking(self.write_end, False)
        filled = 0
        for size in (4096, 512, 64, 8, 1):  # a write that does not fit whole writes nothing
            try:
                while True:
                    filled += os.write(self.write_end, b"\n" * size)
            except BlockingIOError:
                pass
        os.set_blocking(self.write_end, True)
        self.resume()
        try:
            yield
        finally:
            with self.lock:
                self.filler += filled
                self.copying = True

    def stop(self):
        super().stop()
        os.close(self.write_end)
        with self.lock:
            self.copying = True
            self._copy_what_the_pipe_holds()
        self.events()


def parse_event(line):
    """One stdout line: exactly one compact JSON object that the published schema accepts,
    with a double ts."""
    assert line.endswith(b"}") and b"\r" not in line, line
    event = json.loads(line)
    assert isinstance(event, dict), line
    assert isinstance(event.get("type"), str), line
    assert isinstance(event.get("ts"), float), line
    if not validator().is_valid(event):
        errors = validator(event.get("type")).iter_errors(event)
        raise AssertionError("not in the schema: %s: %s" %
                             (jsonschema.exceptions.best_match(errors).message, line))
    # Our writer and Python's agree byte for byte on everything the detector writes.
    assert json.dumps(event, separators=(",", ":"), sort_keys=True,
                      ensure_ascii=False).encode() == line, line
    return event


def check_answers(command, name, env):
    """--help, -h and --version: answered on stdout alone, with exit status 0, by a program that
    `env` keeps from starting for real (it would exit 1)."""
    runs = {arg: subprocess.run(command + [arg], env=env, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=120)
            for arg in ("--help", "-h", "--version")}
    for arg, result in runs.items():
        assert (result.returncode, result.stderr) == (0, b""), (arg, result)
    assert runs["-h"].stdout == runs["--help"].stdout
    usage = runs["--help"].stdout.decode()
    assert usage.startswith("Usage: %s [--help | --version]\n" % name), usage
    assert "docs/events.md" in usage and "\r" not in usage, usage
    assert re.fullmatch(rb"%s \d+\.\d+\.\d+\n" % name.encode(), runs["--version"].stdout), runs


def version_resource(program):
    """A Windows program's version resource: its strings, and its binary FILEVERSION and
    PRODUCTVERSION as dotted text."""
    data = open(program, "rb").read()
    start = data.find("VS_VERSION_INFO".encode("utf-16-le")) - 6
    assert start >= 0, "no version resource"
    block = data[start:start + struct.unpack_from("<H", data, start)[0]]

    def node(at):  # wLength, wValueLength, wType, key, padding, value, padding, children
        length, value_length, text = struct.unpack_from("<3H", block, at)
        end = next(k for k in range(at + 6, at + length, 2) if block[k:k + 2] == b"\0\0")
        value_at = (end + 5) & ~3
        value = block[value_at:value_at + value_length * (2 if text else 1)]
        children, child = [], (value_at + len(value) + 3) & ~3
        while child < at + length:
            children.append(node(child))
            child = (child + struct.unpack_from("<H", block, child)[0] + 3) & ~3
        return block[at + 6:end].decode("utf-16-le"), value, children

    _, fixed, children = node(0)
    signature, _, *v = struct.unpack_from("<6I", fixed)
    assert signature == 0xFEEF04BD, hex(signature)
    found = {name: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
             for name, ms, ls in [("FILEVERSION", v[0], v[1]), ("PRODUCTVERSION", v[2], v[3])]}
    for _, _, tables in [c for c in children if c[0] == "StringFileInfo"]:
        found.update((name, value.decode("utf-16-le").rstrip("\0"))
                     for table in tables for name, value, _ in table[2])
    return found


class TestRun:
    """Counts checks and prints a closing 'N passed, N failed' line."""

    def __init__(self, health=str):
        self.passed = 0
        self.failed = 0
        self.health = health

    def check(self, name, fn):
        try:
            fn()
        except Exception as e:  # noqa: BLE001 - every failure is reported the same way
            self.failed += 1
            print("FAIL %s: %s: %s" % (name, type(e).__name__, e), flush=True)
            if self.failed == 1:
                print(self.health(), end="", flush=True)
        else:
            self.passed += 1
            print("ok   %s" % name, flush=True)

    def skip(self, name, why):
        print("skip %s: %s" % (name, why), flush=True)

    def finish(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        return 1 if self.failed else 0
