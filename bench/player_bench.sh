#!/bin/sh
# What the music player costs a game, per corpus module: the slowest and mean T-states of a
# frame in the player, the interrupt handler's own cost around it, then the player's code and
# work bytes and the player block's length and loading time. Prints figures; judges nothing.
#
# usage: bench/player_bench.sh [BUILD_DIR] [CORPUS_FOLDER] [--profile]
#   BUILD_DIR      a build with the kit (default: build beside this script's parent)
#   CORPUS_FOLDER  default: ../shared/corpus beside the source tree
#   --profile      also shows where the slowest frame of each kind spends its time
# Needs the z80ex library (libz80ex-dev), as the player tests do.
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build}
corpus=${2:-$source_dir/../shared/corpus}
profile=${3:-}
zx7=$build_dir/kit/tools/zx7
if [ ! -x "$zx7" ]; then
    echo "player_bench: no zx7 program at $zx7 (build the kit first)" >&2
    exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/player-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
${CXX:-c++} -std=c++20 -O2 -I"$source_dir/tests/player" "$source_dir/bench/player_bench.cpp" \
    "$source_dir/tests/player/z80_machine.cpp" -lz80ex -o "$work/player-bench"
"$work/player-bench" "$(command -v pasmo)" "$zx7" "$source_dir/asm" "$corpus/pt3" $profile
