#!/bin/bash
# Complete builds in a copy of a ready kit, split into the program's own time and the tools' (with
# the report going to a file there is no closing pause); one with a 1 MB game tape (the join shows in the program's time and peak
# memory); the write calls to the loader tape. usage: bench/whole_build.sh [BUILD_DIR] [KIT_DIR]
# (default: build/ and its kit/); use a build without sanitizers.
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
kit=${2:-${1:-$source_dir/build}/kit}
[ -x "$kit/tunefuse" ] || { echo "whole_build: no $kit/tunefuse: build the kit first" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/tunefuse-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

# Each tool becomes a wrapper that logs the real one's wall and CPU seconds; the opener does nothing.
cp -R "$kit" "$work/kit"
mkdir -p "$work/kit/tools/real" "$work/path"
for tool in zx7 pasmo bin2tap; do
    mv "$work/kit/tools/$tool" "$work/kit/tools/real/$tool"
    printf '#!/bin/bash\nTIMEFORMAT="%s %%R %%U %%S"\n{ time "%s" "$@" 2>&3; } 3>&2 2>>"%s"\n' \
        "$tool" "$work/kit/tools/real/$tool" "$work/tools.log" > "$work/kit/tools/$tool"
    chmod +x "$work/kit/tools/$tool"
done
printf '#!/bin/sh\n' > "$work/path/xdg-open" && chmod +x "$work/path/xdg-open"

build() {
    rm -f "$work/tools.log"
    local TIMEFORMAT="%3R %3U %3S"
    { time (cd "$work/kit" && PATH="$work/path:/usr/bin:/bin" /usr/bin/time -f %M -o "$work/peak" ./tunefuse \
        > /dev/null 2>&1 || echo "(the build failed)" >&2); } 2> "$work/run.time"
    awk -v run="$(cat "$work/run.time" "$work/peak")" '
        { printf "  %-9s wall %7.1f ms   CPU %7.1f ms\n", $1, $2 * 1000, ($3 + $4) * 1000; w += $2; c += $3 + $4 }
        END { split(run, r, " "); printf "  %-9s wall %7.1f ms   CPU %7.1f ms   peak memory %d KB\n", "whole run",
              r[1] * 1000, (r[2] + r[3]) * 1000, r[4]
              printf "  %-9s wall %7.1f ms   CPU %7.1f ms\n", "tunefuse", (r[1] - w) * 1000, (r[2] + r[3] - c) * 1000 }
    ' "$work/tools.log"
}

for round in 1 2 3; do echo "== complete build with the kit's game tape, round $round"; build; done

# A 1 MB game tape: code from 32000 to 65535, then blocks of 60000 bytes the game loads itself.
python3 -c '
import functools, sys
def block(flag, body):
    data = bytes([flag]) + body
    return (len(data) + 1).to_bytes(2, "little") + data + bytes([functools.reduce(int.__xor__, data)])
tape = block(0, b"\3demo      " + bytes([0, 131, 0, 125, 0, 128])) + block(255, bytes(33536))
while len(tape) < 1 << 20: tape += block(255, bytes(60000))
open(sys.argv[1], "wb").write(tape)' "$work/kit/game.tap"
echo "== complete build with a 1 MB game tape (peak memory: the program's or a tool's, the larger)"
build

echo "== write calls to the loader tape (strace)"
(cd "$work/kit" && PATH="$work/path:/usr/bin:/bin" strace -f -y -e trace=write,pwrite64,writev -o "$work/trace" \
    ./tunefuse > /dev/null 2>&1) || true
grep -c 'KRZCode.tap>' "$work/trace" 2> /dev/null || echo "(install strace to count them)"
