"""kolvex-mic-detector-win under Wine, run the way a consumer runs it, and the version
resource it carries.

Wine lists real endpoints from the PulseAudio server but has no session enumerator, so every
snapshot is empty there."""

import os
import subprocess
import sys
import tempfile

from harness import (Detector, PulseServer, TestRun, check_answers, parse_event,
                     version_resource)

EXE, VERSION = sys.argv[1], sys.argv[2]


def wine_env(pulse, **extra):
    return dict(os.environ, WINEDEBUG="-all", **pulse.env, **extra)


def started_then_polls(pulse):
    with tempfile.TemporaryDirectory() as work:
        detector = Detector(["wine", EXE], wine_env(pulse), work)
        try:
            detector.wait_for_events(
                lambda events: sum(e["type"] == "audio_process_snapshot" for e in events) >= 3,
                "three snapshots")
        finally:
            detector.stop()
        events = detector.events()
        assert list(events[0]) == ["ts", "type"] and events[0]["type"] == "started", events[0]
        polls = [e for e in events[1:]]
        assert all(e["type"] == "audio_process_snapshot" for e in polls), polls
        for e in polls:
            assert e["processCount"] == 0 and e["activeApps"] == [] and e["trackedApps"] == [], e
            assert e["kolvexInputActive"] is False
        gaps = [b["ts"] - a["ts"] for a, b in zip(polls, polls[1:])]
        assert all(gap >= 2.0 for gap in gaps), gaps  # the loop sleeps two seconds between polls
        assert detector.stderr() == "", detector.stderr()


def enumerator_unavailable(pulse):
    result = subprocess.run(["wine", EXE], env=wine_env(pulse, WINEDLLOVERRIDES="mmdevapi=d"),
                            stdin=subprocess.DEVNULL, capture_output=True, timeout=120)
    assert result.returncode == 1, result.returncode
    assert result.stdout == b"", result.stdout
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith("Error: "), lines
    assert lines[0].endswith("(0x80040154)") or lines[0] == "Error: 0x80040154", lines


def reader_gone(pulse):
    # The reader takes the first line and closes the pipe; the next event cannot be written.
    # Windows reports error 232 there, Wine 233.
    detector = subprocess.Popen(["wine", EXE], env=wine_env(pulse), stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    first = detector.stdout.readline()
    detector.stdout.close()
    stderr = detector.stderr.read().decode()
    status = detector.wait(timeout=120)
    assert b'"type":"started"' in first, first
    parse_event(first[:-1])
    assert status == 101, (status, stderr)
    lines = stderr.splitlines()
    assert any("'main'" in line for line in lines), stderr
    assert any(line.startswith("failed printing to stdout: ") and
               (line.endswith("(os error 232)") or line.endswith("(os error 233)"))
               for line in lines), stderr


def questions_answered_without_audio(pulse):
    check_answers(["wine", EXE], "kolvex-mic-detector-win",
                  wine_env(pulse, WINEDLLOVERRIDES="mmdevapi=d"))


def version_resource_names_the_program():
    resource = version_resource(EXE)
    number = ".".join((VERSION.split(".") + ["0"] * 4)[:4])
    versions = ["FILEVERSION", "PRODUCTVERSION", "FileVersion", "ProductVersion"]
    assert [resource[k] for k in versions] == [number, number, VERSION, VERSION], resource
    assert all(resource.get(k) for k in ["ProductName", "CompanyName", "FileDescription"])
    assert resource["OriginalFilename"] == os.path.basename(EXE), resource


def main():
    run = TestRun()
    with PulseServer() as pulse:
        run.check("started first, then a snapshot every two seconds", lambda: started_then_polls(pulse))
        run.check("no device enumerator: one Error line, exit 1", lambda: enumerator_unavailable(pulse))
        run.check("reader gone: fault report, exit 101", lambda: reader_gone(pulse))
        run.check("--help, -h, --version: answered, exit 0",
                  lambda: questions_answered_without_audio(pulse))
    run.check("version resource: names, and the version of project()",
              version_resource_names_the_program)
    return run.finish()


if __name__ == "__main__":
    sys.exit(main())
