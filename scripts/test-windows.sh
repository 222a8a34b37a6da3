#!/usr/bin/env bash
# Builds the Windows program, its tools and pasmo.exe with mingw-w64 and runs the whole test suite
# under Wine. The 32-bit Windows kit, the one users get, always ends up in build-win32/kit. Where
# this host runs 32-bit x86 programs, that build is the one tested, under 32-bit Wine; where it
# runs only 64-bit programs, the same sources are also built for 64-bit Windows in build-win64/
# and tested under 64-bit Wine. Set TUNEFUSE_WINDOWS_WIDTH to 32 or 64 to choose by hand.
# Either way the tested kit must make the demo tape byte for byte as the POSIX kit does.
# Exits non-zero when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/wine.sh
jobs=${TUNEFUSE_JOBS:-2}
pasmo_scratch=${TUNEFUSE_PASMO_SCRATCH:-/tmp/tunefuse-pasmo-source}

choose_windows_width
width=$windows_width
scripts/install-deps.sh $(windows_packages "$width")

# Builds the Windows program of one width into build-winWIDTH with its own pasmo.exe. With
# "kit" only the program directory is built, not the test suite.
build_windows() {
  local bits=$1 what=${2:-all} arch build
  arch=$(windows_arch "$bits")
  build=$root/build-win$bits
  scripts/build-pasmo.sh "$pasmo_scratch" "$build/pasmo/pasmo.exe" "$arch-w64-mingw32-g++-posix"
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUNEFUSE_WINDOWS_PASMO="$build/pasmo/pasmo.exe"
  if [ "$what" = kit ]; then
    cmake --build "$build" -j"$jobs" --target tunefuse zx7 bin2tap kit_player_source kit_demo_inputs
  else
    cmake --build "$build" -j"$jobs"
  fi
}

if [ "$width" = 32 ]; then
  build_windows 32
else
  build_windows 32 kit
  build_windows 64
fi
tested=$root/build-win$width
echo "Testing the $width-bit Windows build ($tested): $windows_width_reason."

work=$(mktemp -d)
trap 'rm -rf "$work"; stop_wine' EXIT
start_wine "$width" "$tested/wine-prefix"

# One test at a time: Wine has been seen to crash a test program at exit when several run at once.
ctest --test-dir "$tested" --output-on-failure --timeout 600

# The tested Windows kit, with the real tools, must make the demo tape byte for byte as the POSIX
# kit does. The POSIX kit is the one scripts/test.sh builds; without it this check is left out.
posix_kit=${TUNEFUSE_POSIX_KIT:-$root/build-test/kit}
if [ -x "$posix_kit/tunefuse" ]; then
  cp -rL "$tested/kit" "$work/windows"
  cp -rL "$posix_kit" "$work/posix"
  (cd "$work/windows" && "$wine" ./tunefuse.exe >/dev/null 2>&1)
  (cd "$work/posix" && ASAN_OPTIONS=detect_leaks=0 ./tunefuse >/dev/null 2>&1)
  if ! cmp "$work/windows/tunedemo.tap" "$work/posix/tunedemo.tap"; then
    echo "The $width-bit Windows kit's demo tape differs from the POSIX kit's" >&2
    exit 1
  fi
  echo "The $width-bit Windows and the POSIX kits make the same demo tape ($(stat -c %s "$work/posix/tunedemo.tap") bytes)."
else
  echo "No POSIX kit at $posix_kit: the demo tapes of the Windows and POSIX kits are not compared."
fi

# The 32-bit kit, which cannot run here, must hold what the tested 64-bit one holds, but for the
# programs.
if [ "$width" = 64 ]; then
  for input in asm game.tap music.pt3 screen.scr; do
    diff -r "$root/build-win32/kit/$input" "$root/build-win64/kit/$input"
  done
  echo "The 32-bit Windows kit holds the same player source and demo inputs as the 64-bit one."
fi
echo "Tested: the $width-bit Windows build, $windows_width_reason."
