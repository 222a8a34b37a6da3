#!/usr/bin/env bash
# Builds the 32-bit Windows program, its tools and pasmo.exe with mingw-w64 and runs the whole
# test suite under Wine. The Windows kit ends up in build-win32/kit. Exits non-zero when any test
# fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build=$root/build-win32

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
packages=(g++-mingw-w64-i686-posix wine wine32:i386 dpkg-dev cmake make googletest pasmo)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Wine in a prefix of its own, without a display, quiet, without the .NET and HTML installers.
export WINEPREFIX=$build/wine-prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=C.UTF-8
unset DISPLAY
mkdir -p "$WINEPREFIX"
# A persistent server started first: otherwise Wine's background processes keep ctest's pipes
# open, and each test takes seconds or never ends.
wineserver -p >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineboot --init >/dev/null 2>&1

pasmo_exe=$build/pasmo/pasmo.exe
scripts/build-windows-pasmo.sh "${TUNEFUSE_PASMO_SCRATCH:-/tmp/tunefuse-pasmo-source}" "$pasmo_exe"

jobs=${TUNEFUSE_JOBS:-2}
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTUNEFUSE_WINDOWS_PASMO="$pasmo_exe"
cmake --build "$build" -j"$jobs"
# One test at a time: Wine has been seen to crash a test program at exit when several run at once.
ctest --test-dir "$build" --output-on-failure --timeout 600

# The Windows kit, with the real tools, must make the demo tape byte for byte as the POSIX kit
# does. The POSIX kit is the one scripts/test.sh builds; without it this check is left out.
posix_kit=${TUNEFUSE_POSIX_KIT:-$root/build-test/kit}
if [ -x "$posix_kit/tunefuse" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"; wineserver -k >/dev/null 2>&1 || true' EXIT
  cp -rL "$build/kit" "$work/windows"
  cp -rL "$posix_kit" "$work/posix"
  (cd "$work/windows" && wine ./tunefuse.exe >/dev/null 2>&1)
  (cd "$work/posix" && ASAN_OPTIONS=detect_leaks=0 ./tunefuse >/dev/null 2>&1)
  if ! cmp "$work/windows/tunedemo.tap" "$work/posix/tunedemo.tap"; then
    echo "The Windows kit's demo tape differs from the POSIX kit's" >&2
    exit 1
  fi
  echo "The Windows and POSIX kits make the same demo tape ($(stat -c %s "$work/posix/tunedemo.tap") bytes)."
else
  echo "No POSIX kit at $posix_kit: the demo tapes of the two kits are not compared."
fi
