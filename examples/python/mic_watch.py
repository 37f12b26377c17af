#!/usr/bin/env python3
"""Runs the detector, reacts to meetings starting and ending, keeps the list of applications
that use the microphone, and starts the detector again, after a pause, when it exits with
status 101.

    python3 mic_watch.py [DETECTOR [ARGUMENT...]]

DETECTOR defaults to kolvex-mic-detector-win.exe on Windows and kolvex-mic-detector elsewhere,
found on the PATH."""

import json
import signal
import subprocess
import sys
import time

FIRST_PAUSE = 1.0
LONGEST_PAUSE = 60.0
GOOD_RUN = 60.0  # a run this long was a good one: the next failure starts the pauses over


class MicWatch:
    def __init__(self):
        self.mic_users = {}  # bundleId (the executable's file name) -> (appName, pid)

    def show_mic_users(self):
        users = ["%s (%s%s)" % (app, bundle, "" if pid is None else ", pid %d" % pid)
                 for bundle, (app, pid) in self.mic_users.items()]
        print("microphone in use:", ", ".join(users) or "nobody", flush=True)

    def handle(self, event):
        kind = event.get("type")
        if kind == "started":
            print("detector started", flush=True)
        elif kind == "call_app_mic_state":
            # pid is None when several processes of the application use the microphone.
            if event["active"]:
                self.mic_users[event["bundleId"]] = (event["appName"], event["pid"])
            else:
                self.mic_users.pop(event["bundleId"], None)
            self.show_mic_users()
        elif kind == "meeting_started":
            print("meeting started: %s (%s)" % (event["appName"], event["bundleId"]), flush=True)
        elif kind == "meeting_ended":
            print("meeting ended", flush=True)
        # audio_process_snapshot, device_lifecycle and types added later need nothing here.

    def run_once(self, command):
        """One detector run, line by line; its exit status."""
        # Standard error carries messages for people: it goes where ours goes.
        detector = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        try:
            for line in detector.stdout:
                try:
                    event = json.loads(line)
                except ValueError:
                    print("not an event: %r" % line, file=sys.stderr, flush=True)
                    continue
                self.handle(event)
            return detector.wait()
        finally:
            if detector.poll() is None:
                detector.terminate()
                detector.wait()

    def run(self, command):
        pause = FIRST_PAUSE
        while True:
            started_at = time.monotonic()
            status = self.run_once(command)
            if self.mic_users:
                # A new detector reports every application afresh.
                self.mic_users.clear()
                print("microphone in use: unknown until the detector is back", flush=True)
            if status != 101:
                # 1: it could not start (no audio service); anything else: stopped from outside.
                print("detector ended (status %d); not starting it again" % status,
                      file=sys.stderr, flush=True)
                return 1
            if time.monotonic() - started_at >= GOOD_RUN:
                pause = FIRST_PAUSE
            print("detector exited with status 101; starting it again in %g s" % pause,
                  flush=True)
            time.sleep(pause)
            pause = min(pause * 2, LONGEST_PAUSE)


def main():
    default = "kolvex-mic-detector-win.exe" if sys.platform == "win32" else "kolvex-mic-detector"
    command = sys.argv[1:] or [default]
    # Ending by SIGTERM as by Ctrl-C: the detector is stopped on the way out.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        return MicWatch().run(command)
    except FileNotFoundError as e:
        print("cannot run %s: %s" % (command[0], e), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 0


if __name__ == "__main__":
    sys.exit(main())
