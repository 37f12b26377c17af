"""How soon the Linux detector reports a microphone taken and released, and what churn costs.

  python3 bench/detection_latency.py build/native/src/bin/kolvex-mic-detector
      [--server pulseaudio|pipewire] [--runs 60] [--churn]

Latency: recorders (pacat copied to `zoom`) started and stopped one at a time on a private
server. For each, the time from the moment the server reports the stream (a `pactl subscribe`
listener of our own, 'new' and 'remove' events on source-outputs) to the detector's
"call_app_mic_state" line for it; both are read as they arrive and stamped with one monotonic
clock. Median and 95th percentile of the start and of the end of use.

Churn (--churn): 30 recorders, each started and stopped every 100 ms, for 30 s; the
detector's CPU time over that time, as a share of one core, and its polls per second.
"""

import argparse
import os
import queue
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import PulseServer, parse_event  # noqa: E402
from linux_poll_bench import cpu_seconds  # noqa: E402
from pipewire_server import PipeWireServer  # noqa: E402


def stamped_lines(stream, into, tag, snapshots):
    for line in iter(stream.readline, b""):
        if b'"audio_process_snapshot"' in line:
            snapshots.append(line)
        into.put((time.monotonic(), tag, line.rstrip(b"\n")))


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(share * (len(ordered) - 1))))]


class Bench:
    def __init__(self, server, exe, bindir):
        self.server = server
        self.env = dict(os.environ, **server.env)
        self.recorder = os.path.join(bindir, "zoom")
        shutil.copy2(shutil.which("pacat"), self.recorder)
        self.lines = queue.Queue()
        self.snapshots = []
        self.detector = subprocess.Popen([exe], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL, env=self.env)
        self.listener = subprocess.Popen(["pactl", "subscribe"], stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL, env=self.env)
        for stream, tag in ((self.detector.stdout, "detector"), (self.listener.stdout, "server")):
            threading.Thread(target=stamped_lines, args=(stream, self.lines, tag,
                                                         self.snapshots if tag == "detector" else []),
                             daemon=True).start()
        self.next_line(lambda tag, line: tag == "detector" and b"audio_process_snapshot" in line)

    def next_line(self, match, deadline=30.0):
        end = time.monotonic() + deadline
        while True:
            stamp, tag, line = self.lines.get(timeout=max(0.01, end - time.monotonic()))
            if match(tag, line):
                return stamp, line

    def latency(self, runs):
        started, ended = [], []
        new = re.compile(rb"Event 'new' on source-output #(\d+)")
        for _ in range(runs):
            recorder = subprocess.Popen([self.recorder, "--record", "--raw", "-d", "mic"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        env=self.env)
            reported, line = self.next_line(lambda tag, l: tag == "server" and new.search(l))
            index = new.search(line).group(1)
            seen, _ = self.next_line(lambda tag, l: tag == "detector" and state(l, True))
            started.append(seen - reported)
            # A pause of its own each time, so that starts and ends fall anywhere between polls.
            time.sleep(random.uniform(0.3, 2.3))
            recorder.terminate()
            recorder.wait()
            removed = rb"Event 'remove' on source-output #" + index
            reported, _ = self.next_line(lambda tag, l: tag == "server" and l.startswith(removed))
            seen, _ = self.next_line(lambda tag, l: tag == "detector" and state(l, False))
            ended.append(seen - reported)
            time.sleep(random.uniform(0.3, 2.3))
        return started, ended

    def churn(self, seconds=30.0, recorders=30, period=0.1):
        stop = threading.Event()

        def cycle(offset):
            time.sleep(offset)
            while not stop.is_set():
                r = subprocess.Popen([self.recorder, "--record", "--raw", "-d", "mic"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     env=self.env)
                time.sleep(period / 2)
                r.terminate()
                r.wait()
                time.sleep(period / 2)

        polls_before = len(self.snapshots)
        threads = [threading.Thread(target=cycle, args=(i * period / recorders,))
                   for i in range(recorders)]
        cpu_before, wall_before = cpu_seconds(self.detector.pid), time.monotonic()
        for t in threads:
            t.start()
        time.sleep(seconds)
        cpu = cpu_seconds(self.detector.pid) - cpu_before
        wall = time.monotonic() - wall_before
        polls = len(self.snapshots) - polls_before
        stop.set()
        for t in threads:
            t.join()
        return cpu / wall, polls / wall

    def close(self):
        for p in (self.detector, self.listener):
            p.kill()
            p.wait()


def state(line, active):
    if b'"call_app_mic_state"' not in line:
        return False
    event = parse_event(line)
    return event["bundleId"] == "zoom" and event["active"] is active


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("exe")
    parser.add_argument("--server", choices=("pulseaudio", "pipewire"), default="pulseaudio")
    parser.add_argument("--runs", type=int, default=60)
    parser.add_argument("--churn", action="store_true")
    args = parser.parse_args()
    exe = os.path.abspath(args.exe)
    server = PipeWireServer() if args.server == "pipewire" else PulseServer()
    with server, tempfile.TemporaryDirectory() as bindir:
        server.must("set-default-source", "mic")
        bench = Bench(server, exe, bindir)
        try:
            started, ended = bench.latency(args.runs)
            print("server                       %s" % args.server)
            for name, values in (("start of use", started), ("end of use", ended)):
                print("%-28s median %4.0f ms, 95th percentile %4.0f ms, max %4.0f ms (%d)" % (
                    name, 1000 * statistics.median(values), 1000 * percentile(values, 0.95),
                    1000 * max(values), len(values)))
            if args.churn:
                share, rate = bench.churn()
                print("churn: 30 recorders / 100 ms CPU %.2f %% of a core, %.1f polls a second" %
                      (100 * share, rate))
        finally:
            bench.close()


if __name__ == "__main__":
    main()
