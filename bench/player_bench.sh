#!/bin/sh
# What the music player costs a game, per corpus module: the slowest and mean T-states of a frame
# in the player over five minutes of the song, the interrupt handler's own cost, the player block's
# length and loading time; the built-in Spectrum's speed playing each block for 500 frames; then the
# player's code and work bytes; the build's tape check on each corpus game tape, its seconds and
# emulated T-states a second. Prints figures, judges nothing.
# usage: bench/player_bench.sh [BUILD_DIR with the kit, default build] [CORPUS]; needs libz80ex-dev
set -eu
top=$(cd "$(dirname "$0")/.." && pwd) work=$(mktemp -d "${TMPDIR:-/tmp}/player-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
zx7=$(cd "${1:-$top/build}" && pwd)/kit/tools/zx7 corpus=$(cd "${2:-$top/../shared/corpus}" && pwd)
[ -x "$zx7" ] || { echo "player_bench: no zx7 program at $zx7 (build the kit first)" >&2; exit 1; }
${CXX:-c++} -std=c++20 -O2 -I"$top/src" -I"$top/tests/player" "$top/bench/player_bench.cpp" \
    "$top"/src/emulator/*.cpp "$top"/src/loader/game_*.cpp "$top"/src/loader/tape_file.cpp "$top"/src/loader/music_layout.cpp \
    "$top"/src/host/text.cpp "$top"/src/host/text_posix.cpp -lz80ex -o "$work/bench"
"$work/bench" "$(command -v pasmo)" "$zx7" "$top/asm" "$corpus" "$work"
