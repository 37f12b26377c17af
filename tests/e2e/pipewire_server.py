"""A private headless PipeWire for the end-to-end tests: pipewire, WirePlumber and
pipewire-pulse on a session bus of their own, with the same interface as PulseServer.

Everything lives in one fresh temporary directory (runtime dir, HOME, configuration, logs);
nothing in the real user's home or runtime dir is read or written, by the daemons or by
clients started with `env`. Each daemon runs in a process group of its own and is stopped
by it; nothing is killed by name."""

import os
import signal
import subprocess
import tempfile

from harness import AudioServer, wait_for

NULL_DEVICES = """\
context.objects = [
  { factory = adapter
    args = { factory.name = support.null-audio-sink node.name = "spk"
             node.description = "Null speaker" media.class = "Audio/Sink"
             audio.position = "FL,FR" monitor.channel-volumes = true } }
  { factory = adapter
    args = { factory.name = support.null-audio-sink node.name = "mic"
             node.description = "Null microphone" media.class = "Audio/Source/Virtual"
             audio.position = "MONO" } }
]
"""

# Variables from the caller's environment that would point a daemon or client elsewhere.
_FOREIGN = ("PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "PIPEWIRE_CONFIG_DIR",
            "PIPEWIRE_CONFIG_NAME", "PIPEWIRE_PROPS", "PULSE_SERVER", "PULSE_RUNTIME_PATH",
            "PULSE_COOKIE", "PULSE_PROP", "PULSE_PROP_OVERRIDE", "PULSE_SINK", "PULSE_SOURCE",
            "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "XDG_CONFIG_HOME",
            "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_DIRS", "DISPLAY",
            "WAYLAND_DISPLAY", "JACK_DEFAULT_SERVER", "PIPEWIRE_DEBUG", "WIREPLUMBER_DEBUG")


class PipeWireServer(AudioServer):
    """PipeWire of the test's own with a null sink "spk" and a null microphone "mic"
    (both made by the pipewire daemon, so they survive pipewire-pulse restarts)."""

    DAEMONS = ("dbus", "pipewire", "wireplumber", "pipewire-pulse")

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="kolvex-pipewire-")
        self.run_dir = os.path.join(self.dir, "run")
        self.socket = os.path.join(self.run_dir, "pulse", "native")
        self.pw_socket = os.path.join(self.run_dir, "pipewire-0")
        self.bus = os.path.join(self.run_dir, "bus")
        self.processes = {}  # daemon name -> Popen
        for sub in ("run", "home", "config/pipewire/pipewire.conf.d", "state", "data"):
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        os.chmod(self.run_dir, 0o700)
        with open(os.path.join(self.dir, "config/pipewire/pipewire.conf.d/"
                               "10-null-devices.conf"), "w") as f:
            f.write(NULL_DEVICES)

    @property
    def env(self):
        """What a client (pulse or native PipeWire) needs to reach this server only."""
        return {"PULSE_SERVER": "unix:" + self.socket,
                # libpulse would otherwise create ~/.config/pulse/cookie in the real HOME.
                "PULSE_COOKIE": os.path.join(self.dir, "cookie"),
                # native clients (pw-record): an absolute socket path wins over any runtime dir
                "PIPEWIRE_REMOTE": self.pw_socket,
                "PIPEWIRE_RUNTIME_DIR": self.run_dir}

    def _daemon_env(self):
        env = {k: v for k, v in os.environ.items() if k not in _FOREIGN}
        d = self.dir
        env.update(HOME=os.path.join(d, "home"), XDG_RUNTIME_DIR=self.run_dir,
                   PIPEWIRE_RUNTIME_DIR=self.run_dir,
                   XDG_CONFIG_HOME=os.path.join(d, "config"),
                   XDG_STATE_HOME=os.path.join(d, "state"),
                   XDG_DATA_HOME=os.path.join(d, "data"),
                   DBUS_SESSION_BUS_ADDRESS="unix:path=" + self.bus,
                   PIPEWIRE_DEBUG="2", WIREPLUMBER_DEBUG="2", NO_COLOR="1")
        return env

    def _spawn(self, name, argv):
        log = open(os.path.join(self.dir, name + ".log"), "ab")
        try:
            self.processes[name] = subprocess.Popen(
                argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                env=self._daemon_env(), start_new_session=True)
        finally:
            log.close()

    def _running(self, name):
        p = self.processes.get(name)
        return p is not None and p.poll() is None

    def _check_alive(self, *names):
        for name in names:
            p = self.processes.get(name)
            if p is not None and p.poll() is not None:
                raise AssertionError("%s exited with %s; see %s" % (
                    name, p.returncode, os.path.join(self.dir, name + ".log")))
        return True

    def start(self):
        """Starts whatever is not running (all of it at first; after kill(), pipewire-pulse)
        and returns once pulse clients see "spk" and "mic" as the defaults."""
        if not self._running("dbus"):
            if os.path.exists(self.bus):
                os.unlink(self.bus)
            self._spawn("dbus", ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                 "--address=unix:path=" + self.bus])
            wait_for(lambda: self._check_alive("dbus") and os.path.exists(self.bus),
                     "the session bus")
        if not self._running("pipewire"):
            for name in ("wireplumber", "pipewire-pulse"):  # useless without the daemon
                self._end(name, signal.SIGTERM)
            if os.path.exists(self.pw_socket):
                os.unlink(self.pw_socket)
            self._spawn("pipewire", ["pipewire"])
            wait_for(lambda: self._check_alive("pipewire") and os.path.exists(self.pw_socket),
                     "pipewire's socket")
        if not self._running("wireplumber"):
            self._spawn("wireplumber", ["wireplumber"])
        if not self._running("pipewire-pulse"):
            if os.path.exists(self.socket):
                os.unlink(self.socket)
            self._spawn("pipewire-pulse", ["pipewire-pulse"])
        wait_for(lambda: self._check_alive(*self.DAEMONS) and self._ready(),
                 "pipewire-pulse to answer with spk and mic as the defaults")

    def _ready(self):
        info = self.pactl("info")
        if info.returncode != 0:
            return False
        lines = info.stdout.splitlines()
        if "Default Source: mic" in lines and "Default Sink: spk" in lines:
            return True
        # WirePlumber picks defaults by priority; a virtual source is not always chosen.
        if "Default Source: mic" not in lines:
            self.pactl("set-default-source", "mic")
        if "Default Sink: spk" not in lines:
            self.pactl("set-default-sink", "spk")
        return False

    def health(self):
        """The defaults; each daemon: running (and where it waits) or its exit status; the last
        lines of its log."""
        report = []
        for name, p in self.processes.items():
            if p.poll() is None:
                with open("/proc/%d/wchan" % p.pid) as f:
                    report.append("%s: running, waiting in %s" % (name, f.read() or "-"))
            else:
                report.append("%s: exited with %s" % (name, p.returncode))
            with open(os.path.join(self.dir, name + ".log"), "rb") as f:
                tail = f.read().decode("utf-8", "replace").splitlines()[-15:]
            report += ["  " + line for line in tail]
        return super().health() + "".join(line + "\n" for line in report)

    def _end(self, name, sig, deadline=30.0):
        """Sends sig to the daemon's own process group, escalates to SIGKILL, reaps it."""
        p = self.processes.pop(name, None)
        if p is None:
            return
        if p.poll() is None:
            try:
                os.killpg(p.pid, sig)
            except ProcessLookupError:
                pass
            try:
                p.wait(timeout=deadline)
            except subprocess.TimeoutExpired:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait(timeout=deadline)
        else:  # the leader is gone; make sure nothing it left in its group survives
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass

    def stop(self):
        for name in reversed(self.DAEMONS):
            self._end(name, signal.SIGTERM)

    def kill(self):
        """The pulse server dies as in a crash, without saying goodbye to its clients
        (pipewire-pulse only; PipeWire and its nodes stay). start() brings it back."""
        self._end("pipewire-pulse", signal.SIGKILL)

    def add_source(self, name):
        """A further null microphone; pipewire-pulse has no module-null-source.
        Returns the module index (for unload-module)."""
        return self.must("load-module", "module-null-sink", "sink_name=" + name,
                         "media.class=Audio/Source/Virtual")
