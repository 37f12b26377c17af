#!/usr/bin/env bash
# The Windows event stream under Wine, as a consumer sees it through real pipes.
# Usage: emit_process_test.sh PATH/TO/emit_probe.exe
set -u
probe=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Every line is one complete event ending in one line feed, none split or merged.
wine "$probe" 300 2000 >"$tmp/out" 2>"$tmp/err"
status=$?
[ "$status" -eq 0 ] || fail "exit status $status with a reader, expected 0"
python3 - "$tmp/out" <<'PY' || fail "stdout is not 300 well-formed lines"
import json, sys
data = open(sys.argv[1], 'rb').read()
assert data.endswith(b'\n') and b'\r' not in data
lines = data.split(b'\n')[:-1]
assert [json.loads(l)['n'] for l in lines] == list(range(300)), len(lines)
PY

# A reader that has gone away: exit status 101 and the fault report. Windows reports error
# 232 for the closed pipe; Wine reports 233 ("Pipe not connected.").
wine "$probe" 50 10 50 2>"$tmp/err" | true
status=${PIPESTATUS[0]}
[ "$status" -eq 101 ] || fail "exit status $status after the reader closed, expected 101"
grep -q "'main'" "$tmp/err" || fail "fault report does not name the main thread"
grep -Eq '^failed printing to stdout: .+ \(os error 23[23]\)$' "$tmp/err" ||
  fail "no failure line in: $(cat "$tmp/err")"

if [ "$failures" -eq 0 ]; then echo "emit_process_test: all passed"; fi
exit $((failures > 0))
