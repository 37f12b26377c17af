"""CPU and memory of the Linux detector against a private PulseAudio server, or PipeWire.

  python3 bench/linux_poll_bench.py build/native/src/bin/kolvex-mic-detector [--server pipewire]
                                    [--runs N]

1. With 50 recording clients: the detector's CPU time per poll, and side by side, in the same
   run, that of `pactl --format=json list source-outputs` run once per poll.
2. With no clients, after they are gone: the detector's CPU over a minute of idling.
3. The detector's peak resident set (VmHWM) over the whole run.
Each figure is the median of N runs (3 unless told).
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from harness import Client, Detector, PulseServer  # noqa: E402
from pipewire_server import PipeWireServer  # noqa: E402

CLIENTS = 50
POLLS = 15
IDLE_POLLS = 30  # a minute at one poll every two seconds
NAMES = ["zoom", "teams-for-linux", "slack", "Discord", "chrome", "firefox",
         "telegram-desktop", "obs", "notepad", "recorder"]


def cpu_seconds(pid):
    """CPU time of every thread of `pid` so far, from the scheduler's nanosecond counters."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
            total += int(f.read().split()[0])
    return total / 1e9


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM")


def pactl_cpu_seconds(env):
    """CPU time of one run of pactl, its own and nothing else's."""
    process = subprocess.Popen(["pactl", "--format=json", "list", "source-outputs"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    _, status, usage = os.wait4(process.pid, 0)
    process.returncode = os.waitstatus_to_exitcode(status)
    assert process.returncode == 0, process.returncode
    return usage.ru_utime + usage.ru_stime


def snapshots(detector):
    return [e for e in detector.events() if e["type"] == "audio_process_snapshot"]


def measure(exe, server_kind):
    """One run: CPU per poll, pactl's CPU per run, idle CPU share and seconds, peak RSS."""
    server = PipeWireServer() if server_kind == "pipewire" else PulseServer()
    with server as pulse, tempfile.TemporaryDirectory() as work:
        pulse.must("set-default-source", "mic")
        env = dict(os.environ, **pulse.env)
        clients = [Client(pulse, work, NAMES[i % len(NAMES)], "--record", "--raw", "-d", "mic")
                   for i in range(CLIENTS)]
        detector = Detector([exe], env, work)
        pid = detector.process.pid
        try:
            detector.wait_for_events(
                lambda ev: any(e["type"] == "audio_process_snapshot" and
                               e["processCount"] == CLIENTS for e in ev), "all clients")

            # Poll by poll: the detector's CPU between two snapshots, and pactl's beside it.
            start = len(snapshots(detector))
            before = cpu_seconds(pid)
            pactl = 0.0
            for n in range(POLLS):
                detector.wait_for_events(lambda ev: len(snapshots(detector)) > start + n, "a poll")
                pactl += pactl_cpu_seconds(env)
            # The wait for the last snapshot may end after the next poll began; count them all.
            detector_cpu = cpu_seconds(pid) - before
            polls = len(snapshots(detector)) - start
            assert all(s["processCount"] == CLIENTS for s in snapshots(detector)[start:])

            for c in clients:
                c.stop()
            detector.wait_for_events(
                lambda ev: ev[-1]["type"] == "audio_process_snapshot" and
                ev[-1]["processCount"] == 0, "no clients")
            idle_start = len(snapshots(detector))
            idle_before = cpu_seconds(pid)
            first_ts = snapshots(detector)[idle_start - 1]["ts"]
            detector.wait_for_events(lambda ev: len(snapshots(detector)) >= idle_start + IDLE_POLLS,
                                     "a minute of idling", deadline=120)
            idle_cpu = cpu_seconds(pid) - idle_before
            idle_seconds = snapshots(detector)[idle_start + IDLE_POLLS - 1]["ts"] - first_ts
            rss = peak_rss_kib(pid)
        finally:
            for c in clients:
                c.stop()
            detector.stop()
    return detector_cpu / polls, pactl / POLLS, idle_cpu, idle_seconds, rss, polls


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("exe")
    parser.add_argument("--server", choices=("pulseaudio", "pipewire"), default="pulseaudio")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    runs = [measure(os.path.abspath(args.exe), args.server) for _ in range(args.runs)]
    median = lambda i: statistics.median(run[i] for run in runs)
    per_poll, per_pactl, idle_cpu, idle_seconds, rss = (median(i) for i in range(5))
    print("server                       %s" % args.server)
    print("clients                      %d" % CLIENTS)
    print("detector CPU per poll        %.3f ms  (%d polls a run, median of %d runs)" %
          (per_poll * 1e3, runs[0][5], len(runs)))
    print("pactl CPU per run            %.3f ms  (%d runs each)" % (per_pactl * 1e3, POLLS))
    print("detector / pactl             1/%.0f  (runs: %s)" %
          (per_pactl / per_poll, ", ".join("1/%.0f" % (r[1] / r[0]) for r in runs)))
    print("idle CPU                     %.4f %% of a core  (%.1f ms over %.0f s)" %
          (100 * idle_cpu / idle_seconds, idle_cpu * 1e3, idle_seconds))
    print("peak RSS                     %.1f MiB  (%d KiB)" % (rss / 1024, rss))
    ok = per_poll * 30 <= per_pactl and idle_cpu / idle_seconds < 0.0005 and rss < 8 * 1024
    print("targets (1/30 of pactl, idle < 0.05 %%, RSS < 8 MiB): %s" % ("met" if ok else "MISSED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
