"""kolvex-mic-detector (the Linux port) against a private PulseAudio server, with real
recording and playing clients (pacat copied to the names of tracked applications)."""

import os
import subprocess
import sys
import tempfile
import time

from harness import (Client, Detector, PulseServer, TestRun, check_answers, parse_event,
                     wait_for)

EXE = sys.argv[1]


class Run:
    """One detector on one server, and the clients of the scenarios run against it."""

    def __init__(self, pulse, bindir, workdir):
        self.pulse = pulse
        self.bindir = bindir
        self.detector = Detector([EXE], dict(os.environ, **pulse.env), workdir)
        self.clients = []
        self.wait(lambda e: e["type"] == "audio_process_snapshot", "the first snapshot")

    def client(self, name, *args, **kwargs):
        c = Client(self.pulse, self.bindir, name, *args, **kwargs)
        self.clients.append(c)
        return c

    def record(self, name, source="mic", *extra):
        return self.client(name, "--record", "--raw", "-d", source, *extra)

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


def following(events, event):
    return events[events.index(event) + 1]


def tracked_app_records(run):
    mark = run.mark()
    zoom = run.record("Zoom.exe")
    on = run.wait(state("Zoom.exe", True), "Zoom.exe active", mark)
    assert on == dict(on, appName="Zoom", pid=zoom.pid, captureActive=True, renderActive=False,
                      captureEndpointRole="communications"), on
    started = following(run.since(mark), on)
    assert started["type"] == "meeting_started" and started["pid"] == zoom.pid, started

    mark = run.mark()
    zoom.stop()
    off = run.wait(state("Zoom.exe", False), "Zoom.exe inactive", mark)
    assert off == dict(off, pid=None, captureActive=False, captureEndpointRole="unknown"), off
    events = run.since(mark)
    ended = following(events, off)
    assert ended["type"] == "call_app_mic_ended" and ended["bundleId"] == "Zoom.exe", ended
    assert following(events, ended)["type"] == "meeting_ended", events


def two_processes_of_one_executable(run):
    # Both sessions must be in one poll: a poll reads the server in one go, and the detector
    # is held while the second client connects.
    for _ in range(3):
        mark = run.mark()
        run.detector.pause()
        try:
            first, second = run.record("Slack.exe"), run.record("Slack.exe")
            wait_for(lambda: len(run.pulse.must("list", "short", "source-outputs").splitlines())
                     == 2, "both recorders")
        finally:
            run.detector.resume()
        on = run.wait(state("Slack.exe", True), "Slack.exe active", mark)
        snapshot = run.wait(lambda e: e["type"] == "audio_process_snapshot" and e["ts"] == on["ts"],
                            "its snapshot", mark)
        pids = sorted(a["pid"] for a in snapshot["trackedApps"] if a["bundleId"] == "Slack.exe")
        first.stop()
        second.stop()
        run.wait(state("Slack.exe", False), "Slack.exe gone", mark)
        if pids == sorted([first.pid, second.pid]):
            assert on["pid"] is None, on
            assert snapshot["trackedActiveProcessCount"] == 2, snapshot
            return
    raise AssertionError("never saw both recorders in one poll")


def letter_case_makes_two_applications(run):
    mark = run.mark()
    upper, lower = run.record("Zoom.exe"), run.record("zoom.exe")
    a = run.wait(state("Zoom.exe", True), "Zoom.exe active", mark)
    b = run.wait(state("zoom.exe", True), "zoom.exe active", mark)
    assert (a["pid"], b["pid"]) == (upper.pid, lower.pid), (a, b)
    assert a["appName"] == b["appName"] == "Zoom", (a, b)
    upper.stop()
    lower.stop()
    run.wait(lambda e: e["type"] == "meeting_ended", "the meeting's end", mark)


def untracked_recorder_only_in_active_apps(run):
    mark = run.mark()
    notepad = run.record("Notepad.exe")
    snapshot = run.wait(lambda e: e["type"] == "audio_process_snapshot" and e["activeApps"],
                        "an active app", mark)
    assert snapshot["activeApps"] == [{
        "appName": "Notepad.exe", "bundleId": "Notepad.exe", "pid": notepad.pid,
        "captureActive": True, "renderActive": False,
        "captureEndpointRole": "communications"}], snapshot
    assert snapshot["trackedApps"] == [] and snapshot["activeProcessCount"] == 1, snapshot
    notepad.stop()
    run.wait(lambda e: e["type"] == "audio_process_snapshot" and not e["activeApps"],
             "no active app", mark)
    assert all(e["type"] == "audio_process_snapshot" for e in run.since(mark)), run.since(mark)


def other_microphone_and_endpoint_changes(run):
    pulse = run.pulse
    mark = run.mark()
    extra = pulse.must("load-module", "module-null-source", "source_name=extra")
    added = run.wait(lambda e: e.get("change") == "endpoint_added", "the new source", mark)
    assert added == dict(added, scope="capture", role="none", contractVersion=1), added
    assert "state" not in added, added

    discord = run.record("Discord.exe", "extra")
    on = run.wait(state("Discord.exe", True), "Discord.exe active", mark)
    assert on["captureEndpointRole"] == "other" and on["pid"] == discord.pid, on

    mark = run.mark()
    pulse.must("set-default-source", "extra")
    changes = [run.wait(lambda e, r=role: e.get("change") == "default_role_changed" and
                        e["role"] == r, "default for " + role, mark)
               for role in ("communications", "system_default")]
    assert all(c["scope"] == "capture" for c in changes), changes
    # The same recorder, now on the default microphone.
    now = run.snapshot_after(max(c["ts"] for c in changes), mark)
    entry = [a for a in now["trackedApps"] if a["bundleId"] == "Discord.exe"]
    assert entry and entry[0]["captureEndpointRole"] == "communications", now

    mark = run.mark()
    pulse.must("set-default-source", "mic")
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


def playback_only(run):
    mark = run.mark()
    with open("/dev/zero", "rb") as silence:
        teams = run.client("Teams.exe", "--playback", "--raw", "-d", "spk", stdin=silence)
    first = run.wait(lambda e: e["type"] == "call_app_mic_state" and
                     e["bundleId"] == "Teams.exe", "Teams.exe seen", mark)
    assert first == dict(first, active=False, renderActive=True, captureActive=False), first
    snapshot = run.wait(lambda e: e["type"] == "audio_process_snapshot" and
                        e["ts"] == first["ts"], "its snapshot", mark)
    assert snapshot["activeApps"] == [], snapshot
    assert [a["pid"] for a in snapshot["trackedApps"] if a["renderActive"]] == [teams.pid], snapshot
    teams.stop()


def sessions_that_are_skipped(run):
    mark = run.mark()
    clients = [
        # A pid that does not parse, and one that a client on another machine reports.
        run.record("Skype.exe", "mic", "--property=application.process.id=not-a-pid"),
        run.record("obs.exe", "mic", "--property=application.process.host=elsewhere"),
        # Recording what the speaker plays is no microphone use.
        run.record("Loom.exe", "spk.monitor"),
    ]
    outputs = lambda: run.pulse.must("list", "source-outputs")
    wait_for(lambda: "not-a-pid" in outputs() and '"elsewhere"' in outputs() and
             "Loom.exe" in outputs(), "all three sessions")
    snapshot = run.snapshot_after(time.time(), mark)
    assert snapshot["processCount"] == 0, snapshot
    assert not [e for e in run.since(mark) if e["type"] != "audio_process_snapshot"], run.since(mark)
    for c in clients:
        c.stop()


def burst_of_endpoint_changes(pulse, workdir):
    # Loaded before the detector starts, then removed in one go: several hundred notices
    # arrive faster than the main thread takes them.
    for i in range(400):
        pulse.must("load-module", "module-null-source", "source_name=burst%d" % i)
    run = Run(pulse, workdir, workdir)
    try:
        mark = run.mark()
        pulse.must("unload-module", "module-null-source")
        failed = run.wait(lambda e: e.get("change") == "listener_failed", "listener_failed", mark)
        assert failed == dict(failed, role="none", scope="unknown") and "state" not in failed
        run.snapshot_after(failed["ts"], mark)
        events = run.since(mark)
        assert 0 < sum(e.get("change") == "endpoint_removed" for e in events) < 400, events
        assert run.detector.process.poll() is None
    finally:
        run.stop()
    pulse.must("load-module", "module-null-source", "source_name=mic")


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
        zoom = run.record("Zoom.exe")
        on = run.wait(state("Zoom.exe", True), "Zoom.exe on the new server", mark)
        assert on["pid"] == zoom.pid and on["captureEndpointRole"] == "communications", on
        mark = run.mark()
        pulse.must("load-module", "module-null-sink", "sink_name=after")
        run.wait(lambda e: e.get("change") == "endpoint_added", "notifications again", mark)
    finally:
        run.stop()


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


SCENARIOS = [
    ("started is the first line", started_first),
    ("a tracked recorder starts and stops a meeting", tracked_app_records),
    ("two processes of one executable: pid null", two_processes_of_one_executable),
    ("Zoom.exe and zoom.exe are two applications", letter_case_makes_two_applications),
    ("an untracked recorder shows only in activeApps", untracked_recorder_only_in_active_apps),
    ("another microphone: added, default, removed", other_microphone_and_endpoint_changes),
    ("playback only is renderActive", playback_only),
    ("no pid of this machine, or a monitor: skipped", sessions_that_are_skipped),
    ("no state changes, nothing on stderr", quiet_run),
]


def main():
    test = TestRun()
    with PulseServer() as pulse, tempfile.TemporaryDirectory() as bindir:
        pulse.must("set-default-source", "mic")
        with tempfile.TemporaryDirectory() as work:
            run = Run(pulse, bindir, work)
            try:
                for name, scenario in SCENARIOS:
                    test.check(name, lambda s=scenario: s(run))
            finally:
                test.check("every line of the run is JSON", run.stop)
        with tempfile.TemporaryDirectory() as work:
            test.check("a burst of endpoint changes: listener_failed, and on it goes",
                       lambda: burst_of_endpoint_changes(pulse, work))
        with tempfile.TemporaryDirectory() as work:
            test.check("the server killed and started again",
                       lambda: server_goes_away_and_comes_back(pulse, bindir, work))
        test.check("no server at start: one Error line, exit 1", lambda: no_server_at_start(pulse))
        test.check("reader gone: fault report, exit 101", lambda: reader_gone(pulse))
        test.check("--help, -h, --version: answered, exit 0",
                   lambda: questions_answered_without_a_server(pulse))
        with tempfile.TemporaryDirectory() as work:
            test.check("any other argument is ignored", lambda: other_arguments_ignored(pulse, work))
    return test.finish()


if __name__ == "__main__":
    sys.exit(main())
