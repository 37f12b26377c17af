"""kolvex-mic-detector (the Linux port) against a private audio server, PulseAudio or
PipeWire, with real recording and playing clients: pacat (and, on PipeWire, pw-cat) copied to
the names of the Linux builds of tracked applications.

    linux_detector_test.py DETECTOR pulseaudio|pipewire
    linux_detector_test.py --meeting pulseaudio|pipewire COMMAND...

The second runs only a meeting, from the detector that COMMAND starts: a program of another
architecture under qemu-user, or one in another system's chroot (in_chroot.sh)."""

import fcntl
import os
import signal
import subprocess
import sys
import tempfile
import time

from harness import (UNSHARE, Client, Detector, PulseServer, StallableDetector, TestRun,
                     check_answers, children, parse_event, unshare_refused, wait_for)
from pipewire_server import PipeWireServer

MEETING_ONLY = sys.argv[1] == "--meeting"
if MEETING_ONLY:
    SERVER, COMMAND = sys.argv[2], sys.argv[3:]
else:
    COMMAND, SERVER = sys.argv[1:2], (sys.argv[2:] or ["pulseaudio"])[0]
EXE = COMMAND[0]
PIPEWIRE = SERVER == "pipewire"


class Run:
    """One detector on one server, and the clients of the scenarios run against it."""

    def __init__(self, pulse, bindir, workdir, sandboxed=False):
        self.pulse = pulse
        self.bindir = bindir
        self.detector = Detector(UNSHARE * sandboxed + COMMAND, dict(os.environ, **pulse.env),
                                 workdir)
        self.clients = []
        self.wait(lambda e: e["type"] == "audio_process_snapshot", "the first snapshot")

    def client(self, name, *args, **kwargs):
        c = Client(self.pulse, self.bindir, name, *args, **kwargs)
        self.clients.append(c)
        return c

    def record(self, name, source="mic", *extra):
        """A pulse recorder; with no source, one that follows the default."""
        device = ["-d", source] if source else []
        return self.client(name, "--record", "--raw", *device, *extra)

    def record_natively(self, name, *extra):
        """A PipeWire recorder, whose stream carries no process id of its own."""
        return self.client(name, "--record", *extra, "/dev/null", native=True)

    def mark(self):
        return len(self.detector.lines())

    def since(self, mark):
        return self.detector.events()[mark:]

    def wait(self, match, what, mark=0):
        """The first event from `mark` on that matches, once there is one."""
        found = []

        def seen(events):
            found[:] = [e for e in events[mark:] if match(e)][:1]
            return bool(found)

        self.detector.wait_for_events(seen, what)
        return found[0]

    def end_of_poll(self, event, mark=0):
        """The snapshot of the poll that wrote `event`: the poll's last line."""
        return self.wait(lambda e: e["type"] == "audio_process_snapshot" and e["ts"] == event["ts"],
                         "the end of the poll at %f" % event["ts"], mark)

    def snapshot_after(self, ts, mark=0):
        """A snapshot taken after the wall-clock time `ts`."""
        return self.wait(lambda e: e["type"] == "audio_process_snapshot" and e["ts"] > ts,
                         "a snapshot after %f" % ts, mark)

    def stop(self):
        for c in self.clients:
            c.stop()
        self.detector.stop()
        self.detector.events()  # every line of the run is one JSON object


def started_first(run):
    assert run.detector.events()[0]["type"] == "started", run.detector.events()[0]


def quiet_run(run):
    # Null endpoints have no ports, so nothing here ever changed an endpoint's state.
    changes = [e for e in run.detector.events() if e.get("change") == "endpoint_state_changed"]
    assert changes == [], changes
    assert run.detector.stderr() == "", run.detector.stderr()


def state(bundle, active):
    return lambda e: (e["type"] == "call_app_mic_state" and e["bundleId"] == bundle and
                      e["active"] is active)


def app_events(events, bundle=None):
    kinds = ("call_app_mic_state", "meeting_started", "call_app_mic_ended", "meeting_ended")
    return [e for e in events if e["type"] in kinds and bundle in (None, e.get("bundleId"))]


def following(events, event):
    return events[events.index(event) + 1]


def tracked_app_records(run):
    mark = run.mark()
    zoom = run.record("zoom")
    on = run.wait(state("zoom", True), "zoom active", mark)
    assert on == dict(on, appName="Zoom", pid=zoom.pid, captureActive=True, renderActive=False,
                      captureEndpointRole="communications"), on
    started = following(run.since(mark), on)
    assert started["type"] == "meeting_started" and started["pid"] == zoom.pid, started

    mark = run.mark()
    zoom.stop()
    off = run.wait(state("zoom", False), "zoom inactive", mark)
    assert off == dict(off, pid=None, captureActive=False, captureEndpointRole="unknown"), off
    events = run.since(mark)
    ended = following(events, off)
    assert ended["type"] == "call_app_mic_ended" and ended["bundleId"] == "zoom", ended
    assert following(events, ended)["type"] == "meeting_ended", events


def two_processes_of_one_executable(run):
    # Both sessions must be in one poll: a poll reads the server in one go, and the detector
    # is held while the second client connects.
    for _ in range(3):
        mark = run.mark()
        run.detector.pause()
        try:
            first, second = run.record("slack"), run.record("slack")
            wait_for(lambda: len(run.pulse.must("list", "short", "source-outputs").splitlines())
                     == 2, "both recorders")
        finally:
            run.detector.resume()
        on = run.wait(state("slack", True), "slack active", mark)
        snapshot = run.end_of_poll(on, mark)
        pids = sorted(a["pid"] for a in snapshot["trackedApps"] if a["bundleId"] == "slack")
        first.stop()
        second.stop()
        run.wait(state("slack", False), "slack gone", mark)
        if pids == sorted([first.pid, second.pid]):
            assert on["pid"] is None, on
            assert snapshot["trackedActiveProcessCount"] == 2, snapshot
            return
    raise AssertionError("never saw both recorders in one poll")


def letter_case_makes_two_applications(run):
    mark = run.mark()
    upper, lower = run.record("Discord"), run.record("discord")
    a = run.wait(state("Discord", True), "Discord active", mark)
    b = run.wait(state("discord", True), "discord active", mark)
    assert (a["pid"], b["pid"]) == (upper.pid, lower.pid), (a, b)
    assert a["appName"] == b["appName"] == "Discord", (a, b)
    upper.stop()
    lower.stop()
    run.wait(lambda e: e["type"] == "meeting_ended", "the meeting's end", mark)


def untracked_recorder_only_in_active_apps(run):
    mark = run.mark()
    notepad = run.record("notepad")
    snapshot = run.wait(lambda e: e["type"] == "audio_process_snapshot" and e["activeApps"],
                        "an active app", mark)
    assert snapshot["activeApps"] == [{
        "appName": "notepad", "bundleId": "notepad", "pid": notepad.pid,
        "captureActive": True, "renderActive": False,
        "captureEndpointRole": "communications"}], snapshot
    assert snapshot["trackedApps"] == [] and snapshot["activeProcessCount"] == 1, snapshot
    notepad.stop()
    run.wait(lambda e: e["type"] == "audio_process_snapshot" and not e["activeApps"],
             "no active app", mark)
    assert all(e["type"] == "audio_process_snapshot" for e in run.since(mark)), run.since(mark)


def windows_names_are_not_tracked_here(run):
    mark = run.mark()
    zoom = run.record("Zoom.exe")
    snapshot = run.wait(lambda e: e["type"] == "audio_process_snapshot" and e["activeApps"],
                        "an active app", mark)
    assert [a["appName"] for a in snapshot["activeApps"]] == ["Zoom.exe"], snapshot
    assert snapshot["trackedApps"] == [], snapshot
    zoom.stop()
    run.wait(lambda e: e["type"] == "audio_process_snapshot" and not e["activeApps"],
             "no active app", mark)


def other_microphone_and_endpoint_changes(run):
    pulse = run.pulse
    mark = run.mark()
    extra = pulse.add_source("extra")
    added = run.wait(lambda e: e.get("change") == "endpoint_added", "the new source", mark)
    assert added == dict(added, scope="capture", role="none", contractVersion=1), added
    assert "state" not in added, added

    discord = run.record("Discord", "extra")
    on = run.wait(state("Discord", True), "Discord active", mark)
    assert on["captureEndpointRole"] == "other" and on["pid"] == discord.pid, on

    mark = run.mark()
    pulse.must("set-default-source", "extra")
    changes = [run.wait(lambda e, r=role: e.get("change") == "default_role_changed" and
                        e["role"] == r, "default for " + role, mark)
               for role in ("communications", "system_default")]
    assert all(c["scope"] == "capture" for c in changes), changes
    # The same recorder, now on the default microphone.
    now = run.snapshot_after(max(c["ts"] for c in changes), mark)
    entry = [a for a in now["trackedApps"] if a["bundleId"] == "Discord"]
    assert entry and entry[0]["captureEndpointRole"] == "communications", now

    mark = run.mark()
    pulse.must("set-default-source", "mic")
    # A change that PipeWire kept from every connection there was comes later, found through a
    # new one: what follows waits for it.
    run.wait(lambda e: e.get("change") == "default_role_changed" and e["role"] == "communications",
             "the default back", mark)
    pulse.must("set-source-volume", "mic", "50%")
    pulse.must("set-source-mute", "mic", "1")
    speaker = pulse.must("load-module", "module-null-sink", "sink_name=spk2")
    run.wait(lambda e: e.get("change") == "endpoint_added", "the new sink", mark)
    discord.stop()
    pulse.must("unload-module", extra)
    pulse.must("unload-module", speaker)
    run.wait(lambda e: e.get("change") == "endpoint_removed" and e["scope"] == "render",
             "the sink's removal", mark)
    lifecycle = [(e["change"], e["role"], e["scope"]) for e in run.since(mark)
                 if e["type"] == "device_lifecycle"]
    # A sink's monitor is no endpoint, and volume or mute is no state change.
    assert lifecycle == [
        ("default_role_changed", "system_default", "capture"),
        ("default_role_changed", "communications", "capture"),
        ("endpoint_added", "none", "render"),
        ("endpoint_removed", "none", "capture"),
        ("endpoint_removed", "none", "render"),
    ], lifecycle
    pulse.must("set-source-mute", "mic", "0")


def headset_and_a_recording(run):
    """A second microphone, and a zoom recorder that follows the default, seen active."""
    headset = run.pulse.add_source("headset")
    mark = run.mark()
    zoom = run.record("zoom", None)
    run.end_of_poll(run.wait(state("zoom", True), "zoom active", mark), mark)
    return headset, zoom


def unplug(run, headset, zoom, mark):
    zoom.stop()
    run.wait(state("zoom", False), "zoom gone", mark)
    run.pulse.must("unload-module", headset)


def default_switches_keep_the_recording(run):
    # A headset plugged in during a call: the recorder follows the default microphone, and
    # the poll that the change brings at once may find its stream on the move.
    headset, zoom = headset_and_a_recording(run)
    mark = run.mark()
    switches = 50 if PIPEWIRE else 16
    for i in range(switches):
        run.pulse.must("set-default-source", "headset" if i % 2 == 0 else "mic")
        changed = run.wait(lambda e, n=2 * i: e.get("change") == "default_role_changed" and
                           sum(x.get("change") == "default_role_changed"
                               for x in run.since(mark)) > n + 1, "switch %d" % i, mark)
        run.snapshot_after(changed["ts"], mark)
    assert app_events(run.since(mark)) == [], app_events(run.since(mark))
    unplug(run, headset, zoom, mark)


def default_switch_flood(run):
    # A default switcher gone wild: the default microphone switched back and forth as fast as
    # pactl can for five seconds, ending on "headset", under a recording that follows it. A poll
    # that read the defaults of an earlier moment would find the recording elsewhere.
    headset, zoom = headset_and_a_recording(run)
    mark = run.mark()
    switches, end = 0, time.time() + 5
    while time.time() < end or switches % 2 == 0:
        run.pulse.must("set-default-source", "mic" if switches % 2 else "headset")
        switches += 1
    done = time.time()
    role = lambda e: [a["captureEndpointRole"] for a in e["trackedApps"] if a["pid"] == zoom.pid]
    run.wait(lambda e: e["type"] == "audio_process_snapshot" and e["ts"] > done and
             role(e) == ["communications"], "zoom on the default microphone", mark)
    events = run.since(mark)
    polls = [e["ts"] for e in events if e["type"] == "audio_process_snapshot"]
    most = max(sum(a <= t < a + 1 for t in polls) for a in polls)
    print("     %d switches, %d polls, at most %d in a second" % (switches, len(polls), most))
    assert most <= 10, most
    # Every notice handled, none lost: numbers without a gap, and no listener_failed.
    numbers = [e["sequence"] for e in events if e["type"] == "device_lifecycle"]
    assert numbers == list(range(numbers[0], numbers[0] + len(numbers))), numbers
    assert {e["change"] for e in events if e["type"] == "device_lifecycle"} == \
        {"default_role_changed"}, events
    mark = run.mark()
    run.pulse.must("set-default-source", "mic")
    run.wait(lambda e: e.get("change") == "default_role_changed", "the default back", mark)
    unplug(run, headset, zoom, mark)


def playback_only(run):
    mark = run.mark()
    with open("/dev/zero", "rb") as silence:
        teams = run.client("teams-for-linux", "--playback", "--raw", "-d", "spk", stdin=silence)
    first = run.wait(lambda e: e["type"] == "call_app_mic_state" and
                     e["bundleId"] == "teams-for-linux", "teams-for-linux seen", mark)
    assert first == dict(first, active=False, renderActive=True, captureActive=False), first
    snapshot = run.end_of_poll(first, mark)
    assert snapshot["activeApps"] == [], snapshot
    assert [a["pid"] for a in snapshot["trackedApps"] if a["renderActive"]] == [teams.pid], snapshot
    teams.stop()


def sessions_that_are_skipped(run):
    mark = run.mark()
    clients = [
        # A pid that does not parse, one that a client on another machine reports, and a name
        # that is not UTF-8.
        run.record("skypeforlinux", "mic", "--property=application.process.id=not-a-pid"),
        run.record("obs", "mic", "--property=application.process.host=elsewhere"),
        run.record(b"zoom\xff", "mic", "-n", "zoom"),  # pacat's own name is no media name
        # Recording what the speaker plays is no microphone use.
        run.record("chrome", "spk.monitor"),
    ]
    outputs = lambda: len(run.pulse.must("list", "short", "source-outputs").splitlines())
    wait_for(lambda: outputs() == len(clients), "all four sessions")
    snapshot = run.snapshot_after(time.time(), mark)
    assert snapshot["processCount"] == 0, snapshot
    assert not [e for e in run.since(mark) if e["type"] != "audio_process_snapshot"], run.since(mark)
    for c in clients:
        c.stop()


def renamed_executable_keeps_its_name(run):
    mark = run.mark()
    zoom = run.record("zoom")
    run.end_of_poll(run.wait(state("zoom", True), "zoom active", mark), mark)
    os.rename(zoom.path, zoom.path + b".old")
    try:
        mark = run.mark()
        later = run.snapshot_after(run.snapshot_after(time.time(), mark)["ts"], mark)
        assert app_events(run.since(mark)) == [], run.since(mark)
        assert [a["bundleId"] for a in later["trackedApps"] if a["pid"] == zoom.pid] == ["zoom"]
    finally:
        zoom.stop()
        os.unlink(zoom.path + b".old")
    run.wait(state("zoom", False), "zoom gone", mark)


def recorders_are_seen_started(run):
    # Polls follow the server's news of a stream within milliseconds, right into the moments
    # when PipeWire has it unlinked or corked: none may be reported idle before it was active.
    for i in range(200):
        mark = run.mark()
        zoom = run.record("zoom")
        first = run.wait(lambda e: e["type"] == "call_app_mic_state" and e["bundleId"] == "zoom",
                         "recorder %d seen" % i, mark)
        assert first["active"] is True and first["pid"] == zoom.pid, (i, first)
        zoom.stop()
        run.wait(state("zoom", False), "recorder %d gone" % i, mark)


def brief_recorders_start_and_end(run):
    # A recording that ends before it could be polled is reported with its end or not at all,
    # as polling would: never started without ending.
    mark = run.mark()
    for _ in range(10):
        zoom = run.record("zoom")
        time.sleep(0.02)
        zoom.stop()
    run.snapshot_after(time.time() + 0.5, mark)
    states = [e["active"] for e in app_events(run.since(mark), "zoom")
              if e["type"] == "call_app_mic_state"]
    assert states == [True, False] * (len(states) // 2), states


def sandboxed_recorders(run):
    # Each tells the server it is pid 2; each is found by its program in its own namespace.
    mark = run.mark()
    zoom = run.client("zoom", "--record", "--raw", "-d", "mic", sandboxed=True)
    on = run.wait(state("zoom", True), "the sandboxed zoom active", mark)
    started = following(run.since(mark), on)
    assert on["pid"] == started["pid"] == zoom.pid, (on, started, zoom.pid)
    discord = run.client("discord", "--record", "--raw", "-d", "mic", sandboxed=True)
    on = run.wait(state("discord", True), "the sandboxed discord active", mark)
    assert on["pid"] == discord.pid != zoom.pid, (on, discord.pid, zoom.pid)
    mark = run.mark()
    zoom.stop()
    discord.stop()
    run.wait(lambda e: e["type"] == "meeting_ended", "the meeting's end", mark)


def detector_in_a_sandbox(pulse, bindir, workdir):
    # Host clients name pids that mean nothing in the detector's namespace: known by name only.
    # As that namespace's first process, the detector ends on a signal as anywhere else.
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        run = Run(pulse, bindir, workdir, sandboxed=True)
        try:
            if sig == signal.SIGTERM:
                mark = run.mark()
                # A pid PipeWire verified is one of its own namespace, not the detector's.
                zoom = run.record_natively("zoom") if PIPEWIRE else run.record("zoom")
                on = run.wait(state("zoom", True), "zoom by name", mark)
                assert on == dict(on, appName="Zoom", pid=None), on
                snapshot = run.end_of_poll(on, mark)
                assert [a["pid"] for a in snapshot["trackedApps"]] == [None], snapshot
                zoom.stop()
                run.wait(lambda e: e["type"] == "meeting_ended", "the meeting's end", mark)
            os.kill(children(run.detector.process.pid)[0], sig)  # unshare's: the detector
            assert run.detector.process.wait(timeout=60) == 128 + sig, (sig, run.detector.stderr())
        finally:
            run.stop()


def native_recorders(run):
    # pw-cat's stream carries no process id; its client does, checked by the server.
    mark = run.mark()
    chrome = run.record_natively("chrome")
    on = run.wait(state("chrome", True), "chrome active", mark)
    assert on == dict(on, appName="Chrome", pid=chrome.pid, captureActive=True), on
    # A stream that claims another process is shown as the one the server saw.
    liar = run.record_natively("slack", "-P", "{ application.process.id = 1 }")
    on = run.wait(state("slack", True), "slack active", mark)
    assert on["pid"] == liar.pid, on
    mark = run.mark()
    chrome.stop()
    liar.stop()
    run.wait(lambda e: e["type"] == "meeting_ended", "the meeting's end", mark)


SCENARIOS = [
    ("started is the first line", started_first),
    ("a tracked recorder starts and stops a meeting", tracked_app_records),
    ("two processes of one executable: pid null", two_processes_of_one_executable),
    ("Discord and discord are two applications", letter_case_makes_two_applications),
    ("an untracked recorder shows only in activeApps", untracked_recorder_only_in_active_apps),
    ("Windows names are not tracked on Linux", windows_names_are_not_tracked_here),
    ("another microphone: added, default, removed", other_microphone_and_endpoint_changes),
    ("default microphone switched under a recording: no event", default_switches_keep_the_recording),
    ("default switched for 5 s as fast as pactl can: at most ten polls in any second",
     default_switch_flood),
    ("playback only is renderActive", playback_only),
    ("no pid of this machine, no UTF-8 name, or a monitor: skipped", sessions_that_are_skipped),
    ("a renamed executable keeps its name", renamed_executable_keeps_its_name),
    ("200 recorders: each first seen active", recorders_are_seen_started),
    ("brief recorders: started and ended, or not seen", brief_recorders_start_and_end),
    ("no state changes, nothing on stderr", quiet_run),
]
SCENARIOS.insert(-1, ("zoom and discord, each pid 2 of a sandbox: each by its pid here",
                      sandboxed_recorders))
MEETING = [(name, s) for name, s in SCENARIOS if s in (started_first, tracked_app_records)]
# Why the scenarios that need pid namespaces are skipped, if they are.
SANDBOX_REFUSED = unshare_refused()
SANDBOXED = {sandboxed_recorders}
if PIPEWIRE:
    SCENARIOS.insert(-1, ("native PipeWire recorders, with the pid the server saw", native_recorders))


def burst_of_endpoint_changes(pulse, workdir):
    # Sources loaded before the detector starts are removed while its output is stalled: the
    # notices pile up behind the first one it is writing, more than the queue holds.
    for i in range(300):
        pulse.add_source("burst%d" % i)
    detector = StallableDetector([EXE], dict(os.environ, **pulse.env), workdir)
    try:
        detector.wait_for_events(lambda events: events[-1:] and
                                 events[-1]["type"] == "audio_process_snapshot", "a first poll")
        with detector.stalled():
            mark = len(detector.lines())
            # By name, every such module goes; on PulseAudio "mic" too.
            pulse.must("unload-module", "module-null-sink" if PIPEWIRE else "module-null-source")
            # The server has sent every removal by now; the detector has taken them all once
            # its main thread waits to write and its notification thread for more news.
            wchans = lambda: [open("/proc/%d/task/%s/wchan" % (detector.process.pid, task)).read()
                              for task in sorted(os.listdir("/proc/%d/task" % detector.process.pid))]
            settled = lambda: "pipe_write" in wchans()[0] and "poll" in wchans()[1]
            wait_for(lambda: settled() and (time.sleep(0.2) or settled()),
                     "the detector waiting to write, its notices taken")
        detector.wait_for_events(
            lambda events: any(e.get("change") == "listener_failed" for e in events[mark:]),
            "listener_failed")
        events = detector.events()[mark:]
        failed = [e for e in events if e.get("change") == "listener_failed"]
        assert len(failed) == 1 and failed[0] == dict(failed[0], role="none", scope="unknown")
        assert "state" not in failed[0], failed
        lifecycle = [e for e in events if e["type"] == "device_lifecycle"]
        handled = lifecycle[:lifecycle.index(failed[0])]
        # The queue's 256 (removals, and on PulseAudio the default's changes as "mic" and the
        # next ones go), and the line being written when the output stalled: a poll's summary
        # when a poll came first, else the first removal, unless the server sent the queue full
        # before the main thread took that one out.
        written_first = events[0]["type"]
        assert written_first in ("device_lifecycle", "audio_process_snapshot"), events[0]
        assert 256 <= len(handled) <= 256 + (written_first == "device_lifecycle"), len(handled)
        assert {e["change"] for e in handled} <= {"endpoint_removed", "default_role_changed"}
        assert [e["sequence"] for e in handled + failed] == list(range(1, len(handled) + 2)), events
    finally:
        detector.stop()
        if not PIPEWIRE:
            pulse.add_source("mic")
            pulse.must("set-default-source", "mic")


def server_goes_away_and_comes_back(pulse, bindir, workdir):
    run = Run(pulse, bindir, workdir)
    try:
        mark = run.mark()
        pulse.kill()
        run.wait(lambda e: e.get("change") == "listener_failed", "listener_failed", mark)
        wait_for(lambda: run.detector.stderr().count("\n") >= 2, "failed polls")
        lines = run.detector.stderr().splitlines()
        assert all(line.startswith("audio session poll failed: ") for line in lines), lines
        assert "(0xA050" in lines[0], lines

        pulse.start()
        pulse.must("set-default-source", "mic")
        zoom = run.record("zoom")
        on = run.wait(state("zoom", True), "zoom on the new server", mark)
        assert on["pid"] == zoom.pid and on["captureEndpointRole"] == "communications", on
        mark = run.mark()
        pulse.must("load-module", "module-null-sink", "sink_name=after")
        run.wait(lambda e: e.get("change") == "endpoint_added", "notifications again", mark)
    finally:
        run.stop()


def notifications_once_the_server_has_room(pulse, workdir):
    # PulseAudio serves 64 connections. With 63 taken the detector's polls get the last one and
    # its notifications none: they come once the server has room, lost ones reported.
    holders = []
    try:
        while len(holders) < 63:
            holders.append(subprocess.Popen(["pactl", "subscribe"], env=dict(os.environ, **pulse.env),
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            if len(holders) % 9 == 0 or len(holders) == 63:
                wait_for(lambda: len(pulse.must("list", "short", "clients").splitlines()) >=
                         len(holders) + 1, "%d connections" % len(holders))
        run = Run(pulse, workdir, workdir)
        try:
            run.wait(lambda e: e.get("change") == "listener_failed", "the lost notices")
            mark = run.mark()
            for _ in range(2):  # one for the detector, one for the pactl below
                holders.pop().kill()
            run.wait(lambda e: e.get("change") == "listener_failed", "connected again", mark)
            mark = run.mark()
            sink = pulse.must("load-module", "module-null-sink", "sink_name=roomy")
            run.wait(lambda e: e.get("change") == "endpoint_added", "a notification", mark)
            pulse.must("unload-module", sink)
        finally:
            run.stop()
    finally:
        for h in holders:
            h.kill()
            h.wait()


def closed_standard_streams(pulse, workdir):
    # Started without stdin and stdout (or all three), the detector must not lose them to the
    # next descriptor it opens: they are the null device.
    for closed in ("<&- >&-", "<&- >&- 2>&-"):
        err = os.path.join(workdir, "stderr")
        with open(err, "wb") as stderr:
            detector = subprocess.Popen(["sh", "-c", 'exec "$0" ' + closed, EXE], stderr=stderr,
                                        env=dict(os.environ, **pulse.env), start_new_session=True)
        try:
            fds = range(3 if "2>&-" in closed else 2)
            def null_device():
                try:
                    return all(os.readlink("/proc/%d/fd/%d" % (detector.pid, fd)) == "/dev/null"
                               for fd in fds)
                except OSError:  # the shell has closed them and not yet started the detector
                    return False

            wait_for(null_device, "the null device")
            time.sleep(2.5)  # a poll and its wait, writing into the null device
            assert detector.poll() is None, detector.returncode
            with open(err, "rb") as f:
                assert f.read() == b"", closed
        finally:
            detector.kill()
            detector.wait()


def signals_never_cut_a_line(pulse, bindir):
    # The reader stops reading while a snapshot line, many times the line buffer, is half
    # written; a signal then must wait until the line is out, and end the process as usual.
    # A pipe shared in non-blocking mode is waited on the same way, not taken for a fault.
    recorders = [Client(pulse, bindir, "r%d" % i + "x" * 200, "--record", "--raw", "-d", "mic")
                 for i in range(12)]
    try:
        wait_for(lambda: len(pulse.must("list", "short", "source-outputs").splitlines()) == 12,
                 "twelve recorders")
        for sig, blocking in ((signal.SIGTERM, True), (signal.SIGINT, True),
                              (signal.SIGHUP, True), (signal.SIGTERM, False)):
            read_end, write_end = os.pipe()
            fcntl.fcntl(write_end, 1031, 4096)  # F_SETPIPE_SZ: the smallest pipe there is
            os.set_blocking(write_end, blocking)
            # A background job of a shell starts with SIGINT ignored, and so would the detector.
            detector = subprocess.Popen([EXE], stdin=subprocess.DEVNULL, stdout=write_end,
                                        stderr=subprocess.DEVNULL,
                                        env=dict(os.environ, **pulse.env), start_new_session=True,
                                        preexec_fn=lambda s=sig: signal.signal(s, signal.SIG_DFL))
            os.close(write_end)
            waiting = "pipe_write" if blocking else "poll"
            try:
                full = lambda: fcntl.ioctl(read_end, 0x541B, b"\0\0\0\0")  # FIONREAD
                wait_for(lambda: detector.poll() is not None or
                         int.from_bytes(full(), "little") >= 4096 - 1024 and
                         waiting in open("/proc/%d/wchan" % detector.pid).read(),
                         "the detector waiting on a full pipe")
                detector.send_signal(sig)
                with os.fdopen(read_end, "rb") as out:
                    data = out.read()
                assert detector.wait(timeout=60) == -sig, (sig, blocking, detector.returncode)
                assert len(data) > 4096 and data.endswith(b"\n"), (sig, blocking, data[-80:])
                for line in data.split(b"\n")[:-1]:
                    parse_event(line)
            finally:
                detector.kill()
                detector.wait()
    finally:
        for r in recorders:
            r.stop()


def no_server_at_start(pulse):
    result = subprocess.run([EXE], env=dict(os.environ, PULSE_SERVER="unix:" + pulse.dir + "/none"),
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    assert result.returncode == 1, result.returncode
    assert result.stdout == b"", result.stdout
    assert result.stderr == b"Error: Connection refused (0xA0500006)\n", result.stderr


def questions_answered_without_a_server(pulse):
    check_answers([EXE], "kolvex-mic-detector",
                  dict(os.environ, PULSE_SERVER="unix:" + pulse.dir + "/none"))


def other_arguments_ignored(pulse, workdir):
    detector = Detector([EXE, "--verbose", "-v", "help", "--help=no"],
                        dict(os.environ, **pulse.env), workdir)
    try:
        detector.wait_for_events(lambda events: events and events[-1]["type"] ==
                                 "audio_process_snapshot", "a snapshot")
    finally:
        detector.stop()
    assert detector.events()[0]["type"] == "started", detector.events()


def reader_gone(pulse):
    detector = subprocess.Popen([EXE], env=dict(os.environ, **pulse.env),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
    first = detector.stdout.readline()
    detector.stdout.close()
    stderr = detector.stderr.read().decode()
    status = detector.wait(timeout=60)
    assert b'"type":"started"' in first, first
    parse_event(first[:-1])
    assert status == 101, (status, stderr)
    assert "failed printing to stdout: Broken pipe (os error 32)" in stderr.splitlines(), stderr


def main():
    server = PipeWireServer() if PIPEWIRE else PulseServer()
    test = TestRun(server.health)
    with server as pulse, tempfile.TemporaryDirectory() as bindir:
        pulse.must("set-default-source", "mic")
        with tempfile.TemporaryDirectory() as work:
            run = Run(pulse, bindir, work)
            try:
                for name, scenario in MEETING if MEETING_ONLY else SCENARIOS:
                    if scenario in SANDBOXED and SANDBOX_REFUSED:
                        test.skip(name, "no pid namespace here: %s" % SANDBOX_REFUSED)
                    else:
                        test.check(name, lambda s=scenario: s(run))
            finally:
                test.check("every line of the run is JSON", run.stop)
        if MEETING_ONLY:
            return test.finish()
        with tempfile.TemporaryDirectory() as work:
            name = "the detector in a sandbox: a host recorder by name; as pid 1, ended by signals"
            if SANDBOX_REFUSED:
                test.skip(name, "no pid namespace here: %s" % SANDBOX_REFUSED)
            else:
                test.check(name, lambda: detector_in_a_sandbox(pulse, bindir, work))
        with tempfile.TemporaryDirectory() as work:
            test.check("a burst of endpoint changes: listener_failed, and on it goes",
                       lambda: burst_of_endpoint_changes(pulse, work))
        with tempfile.TemporaryDirectory() as work:
            test.check("the server killed and started again",
                       lambda: server_goes_away_and_comes_back(pulse, bindir, work))
        if not PIPEWIRE:
            with tempfile.TemporaryDirectory() as work:
                test.check("notifications come once a full server has room",
                           lambda: notifications_once_the_server_has_room(pulse, work))
        with tempfile.TemporaryDirectory() as work:
            test.check("closed standard streams are the null device",
                       lambda: closed_standard_streams(pulse, work))
        test.check("SIGTERM, SIGINT, SIGHUP never cut a line; a non-blocking pipe is waited on",
                   lambda: signals_never_cut_a_line(pulse, bindir))
        test.check("no server at start: one Error line, exit 1", lambda: no_server_at_start(pulse))
        test.check("reader gone: fault report, exit 101", lambda: reader_gone(pulse))
        test.check("--help, -h, --version: answered, exit 0",
                   lambda: questions_answered_without_a_server(pulse))
        with tempfile.TemporaryDirectory() as work:
            test.check("any other argument is ignored", lambda: other_arguments_ignored(pulse, work))
    return test.finish()


if __name__ == "__main__":
    sys.exit(main())
