#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each of them from its seed
# corpus for a fixed number of runs. Exits non-zero when a target finds a crash or a broken
# promise; the input that did it is left in build-fuzz/findings/.
#
# usage: scripts/fuzz.sh [RUNS] [TARGET...]
#   RUNS     runs per target (default 20000, enough for CI; use millions by hand)
#   TARGET   only these targets (default: all of them)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build_dir=${TUNEFUSE_FUZZ_BUILD:-$source_dir/build-fuzz}
runs=${1:-20000}
shift || true
all_targets=(command_line_fuzz read_text_fuzz loader_tape_fuzz music_metadata_fuzz game_tape_check_fuzz
             zx7_round_trip_fuzz bin2tap_arguments_fuzz)
targets=("${@:-${all_targets[@]}}")

CC=${CC:-clang} CXX=${CXX:-clang++} cmake -S "$source_dir" -B "$build_dir" -DTUNEFUSE_FUZZ=ON \
    -DTUNEFUSE_TESTS=OFF -DTUNEFUSE_SANITIZE=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build_dir" -j"${TUNEFUSE_JOBS:-2}" --target "${targets[@]}"

# Scratch files go to memory where the host has it: the file-based targets run several times faster.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
findings=$build_dir/findings
mkdir -p "$findings"
for target in "${targets[@]}"; do
    seeds=$source_dir/fuzz/corpus/${target%_fuzz}
    # New inputs go to a working corpus in the build folder; the committed seeds stay as they are.
    work=$build_dir/corpus/${target%_fuzz}
    mkdir -p "$work"
    log=$build_dir/$target.log
    echo "== $target: $runs runs"
    status=0
    "$build_dir/fuzz-targets/$target" -runs="$runs" -max_len=4096 -timeout=30 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/$target-" "$work" "$seeds" > "$log" 2>&1 || status=$?
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$log" || true
    if [ "$status" -ne 0 ]; then
        tail -n 40 "$log" >&2
        echo "$target found a problem: the input is in $findings, the whole log in $log" >&2
        exit 1
    fi
done
echo "all fuzz targets ran $runs times without a finding"
