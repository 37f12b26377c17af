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
# The release programs for Linux: Debian 11 trees to build against (and to run the x64 program
# in), the aarch64 cross compiler, and qemu-user to run what it builds.
RELEASE_PACKAGES=(debootstrap g++-aarch64-linux-gnu qemu-user)
# The schema check of every event line, the Node.js example, the .deb (dpkg-shlibdeps
# reads its dependencies from the program, found with `file`), and the signed ZIP.
TEST_PACKAGES=(clang-format libicu-dev python3-jsonschema nodejs dpkg-dev file osslsigncode
  openssl "${CLANG_PACKAGES[@]}" "${WINDOWS_PACKAGES[@]}" "${AUDIO_PACKAGES[@]}"
  "${RELEASE_PACKAGES[@]}")

step() { printf '\n== %s\n' "$*"; }

# A command as root: apt-get, debootstrap, and chroot (tests/e2e/in_chroot.sh) need it.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo --preserve-env "$@"; fi
}

# apt-get only for what is not there yet, so a machine that has everything stays offline.
install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  step "installing ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq "${missing[@]}" >/dev/null
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

# build/sysroots/bullseye-ARCH (amd64 or arm64): a Debian 11 tree with glibc's and libpulse's
# headers and libraries, which the release builds compile against; the amd64 one is also a
# system to run the x64 program in. Made once by debootstrap into a cache outside the checkout,
# which a fresh clone on this machine finds again. It is made aside and moved into place whole,
# so that an interrupted run leaves no half tree and two runs do not make one together.
# debootstrap can only unpack the other architecture's packages, not configure them, which a
# sysroot does not need. Absolute links are made relative so that they hold outside a chroot.
# DEBIAN_MIRROR chooses where the packages come from.
bullseye_tree() {
  local arch=$1 cache=${XDG_CACHE_HOME:-$HOME/.cache}/kolvex-mic-detector
  local tree=$cache/bullseye-$arch-1 mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
  local args=(--variant=minbase --include=libc6-dev,libpulse-dev --arch="$arch")
  if [ ! -d "$tree" ]; then
    step "making a Debian 11 tree for $arch with debootstrap (cached in $cache)"
    local new=$tree.new.$$
    mkdir -p "$cache"
    if [ "$arch" = "$(dpkg --print-architecture)" ]; then
      as_root debootstrap "${args[@]}" bullseye "$new" "$mirror" >"$tree.log"
    else
      as_root debootstrap --foreign "${args[@]}" bullseye "$new" "$mirror" >"$tree.log"
      for deb in "$new"/var/cache/apt/archives/*.deb; do as_root dpkg-deb -x "$deb" "$new"; done
      as_root rm -f "$new"/var/cache/apt/archives/*.deb
    fi
    as_root find "$new" -xdev -type l -lname '/*' -printf '%p\n' | while IFS= read -r link; do
      as_root ln -sfn "$(realpath -ms --relative-to="$(dirname "$link")" \
        "$new$(readlink "$link")")" "$link"
    done
    as_root mv -T "$new" "$tree" 2>/dev/null || as_root rm -rf --one-file-system "$new"
  fi
  mkdir -p build/sysroots
  ln -sfn "$tree" "build/sysroots/bullseye-$arch"
}

# Each Linux program given runs on glibc 2.31 and needs of the system only glibc's libraries and
# libpulse: no newer glibc symbol, no symbol of the system's libstdc++ or libgcc_s.
check_glibc_floor() {
  local program needs versions newer libraries bad=0
  for program in "$@"; do
    needs=$(readelf -V -W "$program" | sed -n 's/.*Name: \([A-Za-z0-9_.]*\).*/\1/p' | sort -uV)
    versions=$(sed -n 's/^GLIBC_\([0-9.]*\)$/\1/p' <<<"$needs")
    newer=$(printf '%s\n' 2.31 $versions | sort -uV | awk 'found; $0 == "2.31" { found = 1 }')
    libraries=$(readelf -d -W "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | xargs)
    echo "$program: GLIBC_$(tail -1 <<<"$versions") at most; needs $libraries"
    if [ -n "$newer" ] || [ -z "$versions" ]; then
      echo "  needs a glibc newer than 2.31, or does not say which:" $newer
      bad=1
    fi
    if grep -E '^GLIBC_' <<<"$needs" | grep -qvE '^GLIBC_[0-9.]+$'; then
      echo "  needs a glibc feature that 2.31 may lack:" $(grep -E '^GLIBC_[A-Z]' <<<"$needs")
      bad=1
    fi
    if grep -qE '^(GLIBCXX|CXXABI|GCC)_' <<<"$needs"; then
      echo "  needs the system's C++ runtime:" $(grep -E '^(GLIBCXX|CXXABI|GCC)_' <<<"$needs")
      bad=1
    fi
    # What src/platform/glibc_floor.cc defines must not replace a library's own.
    if readelf --dyn-syms -W "$program" | awk '$7 != "UND" { print $8 }' |
      grep -qxE '__libc_single_threaded|_dl_find_object|arc4random'; then
      echo "  exports a definition of its own for glibc 2.31"
      bad=1
    fi
    if tr ' ' '\n' <<<"$libraries" | grep -qvE '^(libc|libm|libpthread|libpulse)\.so\.[0-9]+$|^ld-linux'
    then
      echo "  needs a library other than glibc's and libpulse"
      bad=1
    fi
  done
  return $bad
}
