"""The consumer examples in examples/, run against the Linux port on a private PulseAudio
server: each sees a meeting start and end, and starts the detector again after it exited with
status 101."""

import os
import signal
import subprocess
import sys
import tempfile

from harness import Client, PulseServer, TestRun, parse_event, wait_for

EXE, EXAMPLES = sys.argv[1], sys.argv[2]

# The detector as the example starts it. Its first run loses its reader after the first line
# and so ends with a fault (status 101), as it does when a consumer stops reading; later runs
# are plain. Every line read also goes to the log, to be validated.
WRAPPER = """#!/usr/bin/env bash
if mkdir "$STATE/faulted" 2>/dev/null; then
  "$DETECTOR" | head -n 1 >>"$LOG"
else
  "$DETECTOR" | tee -a "$LOG"
fi
exit "${PIPESTATUS[0]}"
"""

EXAMPLE_COMMANDS = [
    ("Node.js", ["node", os.path.join(EXAMPLES, "node", "mic-watch.js")]),
    ("Python", [sys.executable, os.path.join(EXAMPLES, "python", "mic_watch.py")]),
]


def read(path):
    with open(path, "rb") as f:
        return f.read().decode("utf-8", "replace")


def consumer_follows_a_meeting(pulse, example, bindir):
    with tempfile.TemporaryDirectory() as work:
        wrapper, log, out = (os.path.join(work, name) for name in ("detector", "log", "out"))
        with open(wrapper, "w") as f:
            f.write(WRAPPER)
        os.chmod(wrapper, 0o755)
        env = dict(os.environ, **pulse.env, DETECTOR=EXE, LOG=log, STATE=work)
        with open(out, "wb") as stdout:
            consumer = subprocess.Popen(example + [wrapper], stdin=subprocess.DEVNULL,
                                        stdout=stdout, stderr=subprocess.STDOUT, env=env,
                                        start_new_session=True)
        try:
            said = lambda text: text in read(out).splitlines()
            wait_for(lambda: said("detector exited with status 101; starting it again in 1 s"),
                     "the restart after status 101")
            wait_for(lambda: said("detector started"), "the second detector")
            zoom = Client(pulse, bindir, "zoom", "--record", "--raw", "-d", "mic")
            try:
                wait_for(lambda: said("meeting started: Zoom (zoom)"), "the meeting")
                assert said("microphone in use: Zoom (zoom, pid %d)" % zoom.pid), read(out)
            finally:
                zoom.stop()
            wait_for(lambda: said("meeting ended"), "the meeting's end")
            assert said("microphone in use: nobody"), read(out)
            consumer.send_signal(signal.SIGTERM)
            assert consumer.wait(timeout=30) == 0, read(out)
        finally:
            os.killpg(consumer.pid, signal.SIGKILL)
            consumer.wait(timeout=30)
        assert "fatal error in thread 'main'" in read(out), read(out)
        lines = read(log).encode().split(b"\n")
        assert lines.pop() == b"", lines
        assert [parse_event(line)["type"] for line in lines[:2]] == ["started", "started"], lines
        for line in lines:
            parse_event(line)


def main():
    test = TestRun()
    with PulseServer() as pulse, tempfile.TemporaryDirectory() as bindir:
        pulse.must("set-default-source", "mic")
        for name, example in EXAMPLE_COMMANDS:
            test.check(name + ": meeting started and ended, restarted after 101",
                       lambda e=example: consumer_follows_a_meeting(pulse, e, bindir))
    return test.finish()


if __name__ == "__main__":
    sys.exit(main())
