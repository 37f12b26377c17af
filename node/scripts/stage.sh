#!/usr/bin/env bash
# Puts the three programs into bin/, stripped, from the builds that scripts/test makes: the Linux
# release programs for x64 and ARM64 (glibc 2.31 and later) and the Windows program; checks that
# the package's version is the project's.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-../build}

version=$(sed -n 's/^project([A-Za-z_]* VERSION \([0-9.]*\).*/\1/p' ../CMakeLists.txt)
package_version=$(node -p 'require("./package.json").version')
if [ "$version" != "$package_version" ]; then
  echo "package.json has version $package_version, CMakeLists.txt $version" >&2
  exit 1
fi

# cmake --install strips with the strip of each build's own toolchain.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -rf bin
for arch in x64 arm64; do
  cmake --install "$build/release-linux-$arch" --prefix "$work/linux-$arch" --strip >/dev/null
  install -D -m 755 "$work/linux-$arch/bin/kolvex-mic-detector" bin/linux-$arch/kolvex-mic-detector
done
cmake --install "$build/mingw" --prefix "$work/win" --strip >/dev/null
install -D -m 755 "$work/win/kolvex-mic-detector-win.exe" bin/win32-x64/kolvex-mic-detector-win.exe
# Signed as cpack signs the ZIP's program, when a certificate is given (README, "Signing").
if [ -n "${KOLVEX_SIGN_PFX:-}" ]; then
  ../scripts/sign bin/win32-x64/kolvex-mic-detector-win.exe
fi
