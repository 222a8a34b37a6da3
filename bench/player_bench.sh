#!/bin/sh
# What the music player costs a game, per corpus module: the slowest and mean T-states of a
# frame in the player over five minutes of the song and the interrupt handler's own cost around
# it, then the player's code and work bytes and the player block's length and loading time.
# Prints figures; judges nothing. Needs the z80ex library (libz80ex-dev), as the player tests do.
# usage: bench/player_bench.sh [BUILD_DIR (with the kit; default build)] [CORPUS (default ../shared/corpus)]
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
zx7=$(cd "${1:-$source_dir/build}" && pwd)/kit/tools/zx7
[ -x "$zx7" ] || { echo "player_bench: no zx7 program at $zx7 (build the kit first)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/player-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
${CXX:-c++} -std=c++20 -O2 -I"$source_dir/tests/player" "$source_dir/bench/player_bench.cpp" -lz80ex -o "$work/bench"
"$work/bench" "$(command -v pasmo)" "$zx7" "$source_dir/asm" "$(cd "${2:-$source_dir/../shared/corpus}" && pwd)/pt3" "$work"
