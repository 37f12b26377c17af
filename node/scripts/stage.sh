#!/usr/bin/env bash
# Puts the two programs into bin/, stripped, from the native and mingw builds that scripts/test
# makes; checks that the package's version is the project's.
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
cmake --install "$build/native" --prefix "$work/linux" --strip >/dev/null
cmake --install "$build/mingw" --prefix "$work/win" --strip >/dev/null
rm -rf bin
install -D -m 755 "$work/linux/bin/kolvex-mic-detector" bin/linux-x64/kolvex-mic-detector
install -D -m 755 "$work/win/kolvex-mic-detector-win.exe" bin/win32-x64/kolvex-mic-detector-win.exe
# Signed as cpack signs the ZIP's program, when a certificate is given (README, "Signing").
if [ -n "${KOLVEX_SIGN_PFX:-}" ]; then
  ../scripts/sign bin/win32-x64/kolvex-mic-detector-win.exe
fi
