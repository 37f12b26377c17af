# Shared by the README's commands; sourced, not run.

BUILD_PACKAGES=(cmake ninja-build g++ python3 pkg-config libpulse-dev libgtest-dev libgmock-dev
  libbenchmark-dev)
# The audio servers and their command-line clients (pactl, pacat, pw-cat): PulseAudio, and
# PipeWire with its pulse server and session manager on a private session bus.
AUDIO_PACKAGES=(pulseaudio pulseaudio-utils pipewire pipewire-pulse pipewire-bin wireplumber
  dbus-daemon)
WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64)
# The second compiler, for Linux and for Windows (with lld as the Windows linker); libFuzzer
# and its sanitizers come with it.
CLANG_PACKAGES=(clang lld clang-14 libclang-rt-14-dev)
# The schema check of every event line, the Node.js example, the .deb (dpkg-shlibdeps
# reads its dependencies from the program, found with `file`), and the signed ZIP.
TEST_PACKAGES=(clang-format libicu-dev python3-jsonschema nodejs dpkg-dev file osslsigncode
  openssl "${CLANG_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${AUDIO_PACKAGES[@]}")

step() { printf '\n== %s\n' "$*"; }

# apt-get only for what is not there yet, so a machine that has everything stays offline.
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  step "installing ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

check_format() {
  local bad
  bad=$(git ls-files '*.cc' '*.h' | grep -v '\.generated\.' |
    xargs clang-format --dry-run 2>&1 | grep -oE '^[^:]+\.(cc|h)' | sort -u || true)
  if [ -n "$bad" ]; then
    echo "not clang-formatted (run clang-format -i on them):"
    echo "$bad"
    return 1
  fi
  echo "all files formatted"
}

# Every test of a configured preset has a TIMEOUT, so that a hang fails the run instead of
# stalling it.
check_timeouts() {
  ctest --preset "$1" --show-only=json-v1 | python3 -c '
import json, sys
tests = json.load(sys.stdin)["tests"]
bare = [t["name"] for t in tests
        if "TIMEOUT" not in {p["name"] for p in t.get("properties", [])}]
print("%s: %d tests, without a TIMEOUT: %s" % (sys.argv[1], len(tests), bare or "none"))
sys.exit(1 if bare else 0)' "$1"
}

# A private Wine prefix in the build folder; wineboot once per prefix.
prepare_wine_prefix() {
  export WINEPREFIX="$PWD/$1" WINEDEBUG=-all
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
}
