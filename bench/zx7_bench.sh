#!/bin/sh
# Times zx7 on every corpus file and on 48 KB of zero and of random bytes. usage:
# bench/zx7_bench.sh [ZX7_PROGRAM] [CORPUS_FOLDER] (default: build/kit/tools/zx7, ../shared/corpus)
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
zx7=${1:-$source_dir/build/kit/tools/zx7}
corpus=${2:-$source_dir/../shared/corpus}
[ -x "$zx7" ] || { echo "zx7_bench: no zx7 program at $zx7 (build the zx7 target, or name the program)" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/zx7-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
head -c 49152 /dev/zero > "$work/48 KB of zero bytes"
head -c 49152 /dev/urandom > "$work/48 KB of random bytes"

printf '%-40s %8s %8s %10s\n' input bytes packed time
{ [ -d "$corpus" ] && find "$corpus" -type f ! -name '*.md' | sort; ls "$work"/48*; } | while read -r file; do
    start=$(date +%s%N); "$zx7" -f "$file" "$work/packed" > /dev/null; end=$(date +%s%N)
    printf '%-40s %8d %8d %7d ms\n' "$(basename "$file")" "$(wc -c < "$file")" "$(wc -c < "$work/packed")" \
        $(((end - start) / 1000000))
done
