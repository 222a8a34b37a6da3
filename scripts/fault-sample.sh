#!/usr/bin/env bash
# Runs the test suite against a sample of plausible faults, one at a time, and says which it
# catches. This is how to check a change to the tests: every fault the table marks "caught" must
# still be caught. Exits non-zero when one is missed (or a fault's text is no longer in its file).
#
#   scripts/fault-sample.sh [FAULT...]     run the named faults only (by their first column)
#
# The faults are made in a copy of the tree (the files git tracks, and new ones it does not
# ignore), never in this one. FAULT_SAMPLE_DIR keeps that copy and its build between runs, so
# the next run rebuilds only what changed; without it, a temporary folder is used and removed.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

# One fault a line: name | file | text | replaced by | what the suite does today. Each text must
# occur exactly once in its file.
read -r -d '' faults <<'TABLE' || true
loader-usr-entry  | src/loader/loader_program.cpp | 0x35, 0x35, 0x31, 0x31, 0x22 | 0x35, 0x35, 0x31, 0x32, 0x22 | caught
loader-line-order | src/loader/loader_program.cpp | static_cast<std::uint8_t>((number >> 8) & 0xFF); | static_cast<std::uint8_t>(number & 0xFF); | caught
loader-checksum   | src/loader/tape_blocks.cpp | int checksum = data_flag; | int checksum = 0; | caught
loader-screen-gap | src/loader/game_tape_check.cpp | if (address > game_start_address && address < | if (address > game_start_address + 1 && address < | caught
driver-screen-size | src/driver/intake.cpp | if (size > screen_bytes) | if (size > screen_bytes + 1) | caught
driver-title      | src/driver/loader_stage.cpp | constexpr int title_offset = 30; | constexpr int title_offset = 31; | caught
driver-empty-music | src/driver/intake.cpp | if (size == 0) note_problem | if (size < 0) note_problem | caught
driver-keep-music | src/driver/output_stage.cpp | if (name == names.music_work_copy && run.music_is_work_copy) continue; | (void)0; | caught
driver-cwd-order  | src/driver/intake.cpp | run.music_is_work_copy = host::same_file(run.music_path, work_copy); | host::set_current_directory(run.program_directory); run.music_is_work_copy = host::same_file(run.music_path, work_copy); | caught
driver-author-title | src/driver/loader_stage.cpp | u"Music Author \t\t: " + run.author | u"Music Author \t\t: " + run.title | caught
driver-warning-exit | src/driver/intake.cpp | return run.problems.empty() ? 0 : 1; | return run.problems.empty() && run.warnings.empty() ? 0 : 1; | caught
driver-launch-failed | src/driver/output_stage.cpp | if (!run.problems.empty()) return; | if (false) return; | caught
driver-one-problem | src/driver/output_stage.cpp | if (!run.problems.empty()) { | if (run.problems.size() > 1) { | caught
driver-clean-screen | src/driver/output_stage.cpp | names.screen_copy,      names.credits_file, | names.loader_tape,      names.credits_file, | caught
driver-device-com1 | src/driver/output_stage.cpp | base[3] >= u'1' && | base[3] >= u'2' && | caught
loader-goto-hidden | src/loader/loader_program.cpp | literal += byte_character(number % 256); | literal += byte_character(number / 256); | caught
loader-past-end   | src/loader/game_tape_check.cpp | if (address + length > memory_end) | if (address + length > memory_end + 1) | caught
basic-hidden-number | src/loader/game_loader.cpp | (form[3] << 8); | (form[3] << 7); | caught
basic-load-address | src/loader/game_loader.cpp | step.address = address.value_or(header_parameter_1(blocks_[*header])); | step.address = header_parameter_1(blocks_[*header]); | caught
basic-screen-first | src/loader/game_tape_check.cpp | if (!loads.empty() && loads.front().screen) { | if (false) { | caught
loader-data-flag  | src/loader/game_tape_check.cpp | blocks[at + 1].bytes[0] != data_flag) | false) | caught
host-kilobytes    | src/host/text.cpp | return bytes / 1024; | return (bytes + 1023) / 1024; | caught
host-utf8-overlong | src/host/text.cpp | if (lead >= 0xC2 && lead <= 0xDF) return 2; | if (lead >= 0xC0 && lead <= 0xDF) return 2; | caught
host-read-then-write | src/host/files.cpp | if (record.count > 0) file_os::seek(record.handle, -record.count | if (false) file_os::seek(record.handle, -record.count | caught
host-backslashes  | src/host/command_line.cpp | if (count % 2 == 1) { | if (count % 2 == 0) { | caught
host-block-read-count | src/host/files.cpp | return copied + file_os::read(record.handle, destination + copied, rest); | return file_os::read(record.handle, destination + copied, rest); | caught
host-lone-cr      | src/host/files.cpp | if (read_unit(*record, unit_size, next) && next != line_feed) push_back(*record, unit_size); | read_unit(*record, unit_size, next); | caught
host-share-write  | src/host/files_posix.cpp | if (writes(access) && !lets_others_write(earlier.sharing)) return false; | (void)0; | caught
host-copy-onto-itself | src/host/file_system_posix.cpp | if (same_file(source, target)) return 0; | (void)0; | caught
host-quote-end-backslash | src/host/process.cpp | append_backslashes(out, pending * 2); | append_backslashes(out, pending); | caught
host-signal-exit  | src/host/process_posix.cpp | if (WIFSIGNALED(status)) return 128 + WTERMSIG(status); | if (WIFSIGNALED(status)) return WTERMSIG(status); | caught
host-colour-order | src/host/console_posix.cpp | ((colour & 1) << 2) | (colour & 1) | caught
host-colour-always | src/host/console_posix.cpp | colours_on = isatty(STDOUT_FILENO) == 1; | colours_on = true; | caught
zx7-long-offset   | tools/zx7/zx7_compress.cpp | std::size_t mask = 1024; | std::size_t mask = 512; | caught
zx7-short-offset  | tools/zx7/zx7_compress.cpp | if (code < kMaxShortOffset) { | if (code <= kMaxShortOffset) { | caught
bin2tap-end       | tools/bin2tap/bin2tap_main.cpp | if (address + size > 65536) { | if (address + size > 65537) { | caught
bin2tap-param2    | tools/bin2tap/tap_code_blocks.cpp | kCodeParameter2 = 32768; | kCodeParameter2 = 32767; | caught
zx7-far-offset-read | tools/zx7/zx7_decompress.cpp | high << 7) + kMaxShortOffset + 1; | high << 7) + kMaxShortOffset; | caught
zx7-band-skip     | tools/zx7/zx7_compress.cpp | top / 2 + 1 <= longest; | top / 2 + 1 < longest; | caught
zx7-farthest-offset | tools/zx7/zx7_compress.cpp | position - earlier <= kMaxOffset | position - earlier < kMaxOffset | caught
zx7-near-offsets-only | tools/zx7/zx7_compress.cpp | position - earlier <= kMaxOffset | position - earlier <= kMaxShortOffset | caught
bin2tap-checksum  | tools/bin2tap/tap_code_blocks.cpp | std::uint8_t checksum = flag; | std::uint8_t checksum = 0; | caught
bin2tap-address-max | tools/bin2tap/bin2tap_main.cpp | if (value > 65535) return | if (value > 65536) return | caught
kit-handler-ix    | asm/tunefuse.asm | push ix                     ; the game's | push iy                     ; the game's | caught
kit-paging-probe  | asm/tunefuse.asm | cpl | nop | caught
kit-unpack-dest   | asm/tunefuse.asm | ld de, module | ld de, module + 1 | caught
kit-demo-ornament | demo/make_demo_module.cpp | append(module, {0, 3, 0, 4, 7}) | append(module, {0, 3, 0, 0, 0}) | missed
player-noise      | asm/pt3_player.asm | and 31 | and 15 | caught
player-channels   | asm/pt3_player.asm | out (c),l | out (c),h | caught
player-envelope-shape | asm/pt3_player.asm | sub 0x10                ; 11..1F: shapes 1..15 | sub 0x0F                ; 11..1F: shapes 1..15 | caught
player-envelope-sign | asm/pt3_player.asm | and 0x1F                ; envelope offset, signed 5 bits | and 0x0F                ; envelope offset, signed 5 bits | caught
player-ornament-loop | asm/pt3_player.asm | ld a,(ix+CH_ORNAMENT_LOOP) | ld a,(ix+CH_SAMPLE_LOOP) | caught
player-onoff-times | asm/pt3_player.asm | ld (ix+CH_OFF_TIME),a | ld (ix+CH_ON_TIME),a | caught
player-portamento-version | asm/pt3_player.asm | cp 6 | cp 7 | missed
player-slide-stops-onoff | asm/pt3_player.asm | ld (ix+CH_ONOFF_COUNT),0 | ld (ix+CH_ONOFF_COUNT),1 | caught
TABLE

field() { cut -d'|' -f"$1" <<<"$2" | sed -e 's/^ *//' -e 's/ *$//'; }

scratch=${FAULT_SAMPLE_DIR:-}
if [ -z "$scratch" ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
fi
mkdir -p "$scratch/tree" "$scratch/build"
# The tests find the shared corpus beside the source tree.
[ -e "$scratch/shared" ] || [ ! -d "$top/../shared" ] || ln -s "$(cd "$top/../shared" && pwd)" "$scratch/shared"

# Bring the copy up to date, touching only files that changed so the build stays incremental.
git ls-files -z --cached --others --exclude-standard | sort -z >"$scratch/files"
while IFS= read -r -d '' file; do
  [ -f "$file" ] || continue
  if ! cmp -s "$file" "$scratch/tree/$file"; then
    mkdir -p "$(dirname "$scratch/tree/$file")"
    cp "$file" "$scratch/tree/$file"
  fi
done <"$scratch/files"
(cd "$scratch/tree" && find . -type f -printf '%P\0' | sort -z) | comm -z -23 - "$scratch/files" |
  (cd "$scratch/tree" && xargs -0 -r rm -f)

build() { cmake --build "$scratch/build" -j2 >"$scratch/build.log" 2>&1; }
# The whole suite, the quick tests first: most faults are caught there in seconds.
slow='Faults|BuildTest|KitEmulator'
suite() { (cd "$scratch/build" && ctest --stop-on-failure -j2 --timeout 600 "$@"); }
cmake -S "$scratch/tree" -B "$scratch/build" -DTUNEFUSE_SANITIZE=OFF -DCMAKE_BUILD_TYPE= >/dev/null
build || { cat "$scratch/build.log"; echo "the tree does not build without a fault"; exit 2; }
# Without a fault the suite must pass in the copy, or every fault would look caught.
if ! { suite -E "$slow" && suite -R "$slow"; } >"$scratch/ctest.log" 2>&1; then
  grep -E '\*\*\*Failed|\(Failed\)|\(Timeout\)' "$scratch/ctest.log" | head
  echo "the suite fails in the copy without a fault: nothing can be judged"
  exit 2
fi

caught=0 missed=0 surprises=0
while IFS= read -r row; do
  [ -n "$row" ] || continue
  name=$(field 1 "$row") file=$(field 2 "$row") text=$(field 3 "$row")
  fault=$(field 4 "$row") expected=$(field 5 "$row")
  if [ $# -gt 0 ] && ! printf '%s\n' "$@" | grep -qx -- "$name"; then continue; fi
  target="$scratch/tree/$file"
  cp "$target" "$scratch/original"
  if ! TEXT=$text FAULT=$fault perl -0777 -i -e '
      $_ = <>; $n = () = /\Q$ENV{TEXT}\E/g; exit 3 if $n != 1;
      s/\Q$ENV{TEXT}\E/$ENV{FAULT}/; print' "$target" 2>/dev/null; then
    cp "$scratch/original" "$target"
    echo "$name: the text is not found exactly once in $file"
    surprises=$((surprises + 1))
    continue
  fi
  if ! build; then
    result=caught  # a fault the build itself rejects
    echo "***Failed to build" >"$scratch/ctest.log"
  elif suite -E "$slow" >"$scratch/ctest.log" 2>&1 && suite -R "$slow" >>"$scratch/ctest.log" 2>&1; then
    result=missed
  else
    result=caught
  fi
  cp -p "$scratch/original" "$target"
  touch "$target"
  if [ "$result" = caught ]; then
    caught=$((caught + 1))
    echo "$name: caught ($(grep -m1 -E '\*\*\*Failed|\(Failed\)|\(Timeout\)|Exception' "$scratch/ctest.log" | sed 's/^ *//'))"
  else
    missed=$((missed + 1))
    echo "$name: missed"
  fi
  if [ "$result" != "$expected" ]; then
    [ "$expected" = caught ] && surprises=$((surprises + 1))
    echo "  (the table says $expected)"
  fi
done <<<"$faults"
build >/dev/null 2>&1 || true

echo "caught $caught, missed $missed"
[ "$surprises" -eq 0 ]
