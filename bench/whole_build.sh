#!/bin/sh
# Complete builds with a real program directory, timed and split into the program's own time,
# the tools' time and the closing pause; the write calls the loader tape takes; and the join of a
# 1 MB game tape with its peak memory. Prints figures; judges nothing.
#
# usage: bench/whole_build.sh [BUILD_DIR] [KIT_DIR]
#   BUILD_DIR  a build of the program (default: build beside this script's parent); a build
#              without sanitizers gives the figures that matter
#   KIT_DIR    the ready program directory (default: BUILD_DIR/kit); copied, never written
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build}
kit=${2:-$build_dir/kit}
library=$build_dir/libtunefuse_core.a
for needed in "$kit/tunefuse" "$kit/tools/zx7" "$kit/tools/bin2tap" "$kit/tools/pasmo" "$kit/asm/tunefuse.asm" \
    "$kit/music.pt3" "$kit/game.tap" "$library"; do
    if [ ! -e "$needed" ]; then
        echo "whole_build: $needed is missing: build the kit (and tunefuse_core) first" >&2
        exit 1
    fi
done
flags=""
if grep -q '^TUNEFUSE_SANITIZE:BOOL=ON' "$build_dir/CMakeCache.txt" 2>/dev/null; then
    flags="-fsanitize=address,undefined"
    echo "(a sanitizer build: the program's own times are several times those of a plain build)"
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/tunefuse-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

${CXX:-c++} -std=c++20 -O2 $flags "$source_dir/bench/whole_build.cpp" -o "$work/whole-build-bench"
${CXX:-c++} -std=c++20 -O2 $flags -I"$source_dir/src" "$source_dir/bench/join_bench.cpp" "$library" \
    -lpthread -o "$work/join-bench"

echo "== complete builds with the kit's game tape"
"$work/whole-build-bench" "$kit" "" 3

echo "== complete build with a 1 MB game tape"
"$work/join-bench" 1048576 > /dev/null  # warm the disk cache
python3 - "$work/game-1mb.tap" <<'EOF'
import sys
# Code at 32000 of 33536 bytes, up to 65535, as the build's check wants it; then the game's own
# blocks of 60000 bytes.
first = 33536
header = bytes([0x13, 0, 0, 3]) + b"demo      " + first.to_bytes(2, "little") + bytes([0, 0x7D, 0, 0x80])
check = 0
for b in header[2:]: check ^= b
tape = header + bytes([check])
while len(tape) < 1048576:
    data = bytes([0xFF]) + b"\xAA" * (first if len(tape) == 21 else 60000)
    check = 0
    for b in data: check ^= b
    block = data + bytes([check])
    tape += len(block).to_bytes(2, "little") + block
open(sys.argv[1], "wb").write(tape)
EOF
"$work/whole-build-bench" "$kit" "$work/game-1mb.tap" 1
echo "(peak memory is the largest of the program and the tools it ran; the join alone shows the program's own)"

echo "== the join alone"
for size in 1048576 4194304; do "$work/join-bench" $size | tail -n 1; done

echo "== write calls to the loader tape (strace, the program's own main thread)"
if command -v strace > /dev/null; then
    mkdir -p "$work/strace"
    cp -R "$kit/." "$work/strace/"
    (cd "$work" && PATH=/nonexistent:/usr/bin:/bin strace -y -e trace=write,pwrite64,writev -o "$work/trace" \
        "$work/strace/tunefuse" > /dev/null 2>&1 || true)
    printf 'write calls to KRZCode.tap: %s\n' "$(grep -c 'KRZCode.tap>' "$work/trace" || true)"
else
    echo "(no strace: install it to count the write calls)"
fi
