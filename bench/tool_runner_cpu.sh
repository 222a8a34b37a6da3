#!/bin/sh
# Builds and runs the tool runner benchmark against a build's core library.
# Usage: bench/tool_runner_cpu.sh [BUILD_DIR]   (default: build beside this script's parent)
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build}
library=$build_dir/libtunefuse_core.a
if [ ! -f "$library" ]; then
    echo "no $library: build the tunefuse_core target first" >&2
    exit 1
fi
flags=""
if grep -q '^TUNEFUSE_SANITIZE:BOOL=ON' "$build_dir/CMakeCache.txt" 2>/dev/null; then
    flags="-fsanitize=address,undefined"
fi
program=$build_dir/bench-tool-runner-cpu
${CXX:-c++} -std=c++20 -O2 $flags -I"$source_dir/src" "$source_dir/bench/tool_runner_cpu.cpp" \
    "$library" -lpthread -o "$program"
"$program"
