#!/bin/bash
# How long the tapes take to load at the ROM's speed: for each corpus module, and for the seven
# as the tunes of one tape, the kit builds a tape with its demo game, and each block after the
# loader (screen, player, music blocks, game) is timed as the ROM's SAVE writes it (pilot tone,
# sync pulses, 855 or 1710 T-states a half bit at 3.5 MHz; the gaps between blocks not counted).
# With a second kit, the same builds with it print beside, for a before-and-after comparison.
# usage: bench/loading_bench.sh [KIT_DIR, default build/kit] [OTHER_KIT_DIR] [CORPUS]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
kit=${1:-$top/build/kit} other=${2:-} corpus=${3:-$top/../shared/corpus}
[ -x "$kit/tunefuse" ] || { echo "loading_bench: no $kit/tunefuse: build the kit first" >&2; exit 1; }
work=$(mktemp -d "${TMPDIR:-/tmp}/loading-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/path" && printf '#!/bin/sh\n' > "$work/path/xdg-open" && chmod +x "$work/path/xdg-open"

# Prints one line: the blocks after the loader's own two, as "kind bytes seconds", and the total.
times() {
    python3 - "$1" <<'PY'
import sys
tape = open(sys.argv[1], "rb").read()
at, blocks = 0, []
while at + 2 <= len(tape):
    length = tape[at] | tape[at + 1] << 8
    blocks.append(tape[at + 2:at + 2 + length])
    at += 2 + length
def seconds(block):
    ones = sum(bin(byte).count("1") for byte in block)
    pilot = 8063 if block[0] == 0 else 3223
    return (pilot * 2168 + 667 + 735 + ones * 3420 + (len(block) * 8 - ones) * 1710) / 3.5e6
words, total, name = [], 0.0, None
for block in blocks[2:]:
    total += seconds(block)
    if block[0] == 0:
        name = block[2:12].decode("latin-1").strip()
        continue
    kind = name if name else "music"
    words.append("%s %d B %.1f s" % (kind, len(block) - 2, seconds(block)))
    name = None
print("total %6.1f s  |  %s" % (total, ", ".join(words)))
PY
}

# Builds with kit $1 in a fresh copy, music.pt3 (and music2.pt3 ...) from the rest; prints the times.
build() {
    local from=$1; shift
    rm -rf "$work/kit" && cp -R "$from" "$work/kit" && rm -f "$work/kit"/*.tap.* "$work/kit/screen.scr"
    find "$work/kit" -maxdepth 1 -name '*.tap' ! -name game.tap -delete
    local n=1
    for module in "$@"; do
        if [ $n = 1 ]; then cp "$module" "$work/kit/music.pt3"; else cp "$module" "$work/kit/music$n.pt3"; fi
        n=$((n + 1))
    done
    if (cd "$work/kit" && PATH="$work/path:/usr/bin:/bin" ./tunefuse > /dev/null 2> "$work/err"); then
        times "$(find "$work/kit" -maxdepth 1 -name '*.tap' ! -name game.tap | head -1)"
    else
        echo "refused: $(tail -1 "$work/err")"
    fi
}

report() {
    printf '%s\n  this kit:  %s\n' "$(basename "$1")" "$(build "$kit" "$1")"
    [ -z "$other" ] || printf '  other kit: %s\n' "$(build "$other" "$1")"
}

modules=("$corpus"/pt3/*.pt3)
for module in "${modules[@]}"; do report "$module"; done
printf '%s\n  this kit:  %s\n' "the seven as tunes 1 to 7" "$(build "$kit" "${modules[@]}")"
