#!/bin/sh
# How fast the built-in Spectrum plays a game with the music player (emulated T-states and frames a
# second, 48K and 128K), per corpus module. Prints figures, judges nothing. Built here with -O2, as
# a release build makes it. usage: bench/spectrum_bench.sh [CORPUS]; needs pasmo and libz80ex-dev
set -eu
top=$(cd "$(dirname "$0")/.." && pwd) work=$(mktemp -d "${TMPDIR:-/tmp}/spectrum-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
corpus=$(cd "${1:-$top/../shared/corpus}" && pwd)
${CXX:-c++} -std=c++20 -O2 -I"$top/src" -I"$top/tests/player" "$top/bench/spectrum_bench.cpp" \
    "$top"/src/spectrum/*.cpp -lz80ex -o "$work/bench"
"$work/bench" "$(command -v pasmo)" "$top/asm/pt3_player.asm" "$corpus/pt3" "$work"
