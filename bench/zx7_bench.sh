#!/bin/sh
# Times the zx7 compressor on every corpus file and on 48 KB of zero and of random bytes,
# printing input size, output size and wall-clock time for each.
#
# usage: bench/zx7_bench.sh [ZX7_PROGRAM] [CORPUS_FOLDER]
#   ZX7_PROGRAM    default: build/kit/tools/zx7 under the source tree
#   CORPUS_FOLDER  default: ../shared/corpus beside the source tree
set -eu

source_dir=$(cd "$(dirname "$0")/.." && pwd)
zx7=${1:-$source_dir/build/kit/tools/zx7}
corpus=${2:-$source_dir/../shared/corpus}

if [ ! -x "$zx7" ]; then
    echo "zx7_bench: no zx7 program at $zx7 (build the zx7 target, or name the program)" >&2
    exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zx7-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

now_ns() { date +%s%N; }

# bench_one LABEL FILE: compresses a copy of FILE and prints one line of figures.
bench_one() {
    cp "$2" "$work/input"
    rm -f "$work/input.zx7"
    start=$(now_ns)
    "$zx7" "$work/input" > /dev/null
    end=$(now_ns)
    in_size=$(wc -c < "$work/input")
    out_size=$(wc -c < "$work/input.zx7")
    ms=$(( (end - start) / 1000000 ))
    printf '%-40s %8d %8d %7d ms\n' "$1" "$in_size" "$out_size" "$ms"
}

printf '%-40s %8s %8s %10s\n' "input" "bytes" "packed" "time"
if [ -d "$corpus" ]; then
    find "$corpus" -type f ! -name '*.md' | sort | while read -r file; do
        bench_one "${file#"$corpus"/}" "$file"
    done
else
    echo "(no corpus at $corpus: corpus files skipped)"
fi

head -c 6912 /dev/zero > "$work/zeros-6912"
head -c 49152 /dev/zero > "$work/zeros-48k"
head -c 49152 /dev/urandom > "$work/random-48k"
bench_one "6912 zero bytes" "$work/zeros-6912"
bench_one "48 KB of zero bytes" "$work/zeros-48k"
bench_one "48 KB of random bytes" "$work/random-48k"
