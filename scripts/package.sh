#!/usr/bin/env bash
# Makes the release archives in dist/: the 32-bit Windows kit as a zip and the Linux kit as a
# tar.gz, each a ready program directory with stripped programs, its own pasmo built from Debian's
# source package, the licences and pasmo's corresponding source.
#   scripts/package.sh           build both archives
#   scripts/package.sh --check   then unpack each into a fresh folder and run the demo as a user
#                                would (the zip under Wine, as its 64-bit twin where the host runs
#                                no 32-bit programs): its tape must equal the build's own, and
#                                each archive must hold exactly the files listed below
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
source scripts/wine.sh
jobs=${TUNEFUSE_JOBS:-2}
pasmo_scratch=${TUNEFUSE_PASMO_SCRATCH:-/tmp/tunefuse-pasmo-source}
version=$(sed -n 's/^project(tunefuse VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
dist=$root/dist

# What each archive holds, below its top folder. "EXE" stands for the host's program suffix.
files=(
  "tunefuseEXE|the program"
  "tools/zx7EXE|our ZX7 compressor"
  "tools/bin2tapEXE|our raw-code-to-tape converter"
  "tools/pasmoEXE|the pasmo Z80 assembler, built from Debian's pasmo source package"
  "asm/tunefuse.asm|the music player's source, assembled on every run"
  "asm/pt3_player.asm|the PT3 player the music player includes"
  "asm/ayfx_player.asm|the sound effect player the music player includes with an sfx.afb"
  "asm/preview.asm|the preview game a tape gets when there is no game.tap: a key per tune"
  "include/tunefuse.inc|the player's entry addresses for a game in assembly"
  "include/tunefuse.h|the player's entries as C functions, for a game built with SDCC or z88dk"
  "bin/|the work folder for the run's intermediate files (keep it, even empty)"
  "game.tap|the demo game: replace it with your game's tape"
  "music.pt3|the demo music, used when you name no module"
  "screen.scr|the demo loading screen: replace or delete it"
  "README.txt|this text"
  "LICENSE.txt|the licence of tunefuse"
  "licenses/pasmo/COPYING|pasmo's licence, the GNU GPL version 2"
  "licenses/pasmo/copyright|Debian's copyright notice for pasmo"
  "source/pasmo/pasmo_0.5.3.orig.tar.gz|pasmo's source, as Debian ships it"
  "source/pasmo/pasmo_0.5.3-7.debian.tar.xz|Debian's changes to pasmo's source"
  "source/pasmo/pasmo_0.5.3-7.dsc|Debian's description of that source package"
  "source/pasmo/build-pasmo.sh|the script that built tools/pasmo from that source"
)

# The kit's README.txt: the project README's introduction and the sections a user of the kit
# needs, then what each file is (with Windows' separators in the Windows kit).
readme_text() {
  local title=$1 entry name
  printf 'tunefuse %s for %s\n' "$version" "$title"
  awk 'BEGIN {keep = 1}
       /^## /{keep = ($0 ~ /^## (Usage|Your game tape|The music player, for game authors)/)}
       keep && !/^# /' README.md
  printf '\n## What is in this folder\n\n'
  for entry in "${files[@]}"; do
    name=${entry%%|*}
    name=${name/EXE/$exe}
    [ -z "$exe" ] || name=${name//\//\\}
    printf '%-44s %s\n' "$name" "${entry#*|}"
  done
}

# Builds the kit of one host without tests or sanitizers: "linux", "windows-32" or "windows-64".
# Sets kit, exe (the program suffix) and strip.
build_kit() {
  local host=$1 build arch
  if [ "$host" = linux ]; then
    build=$root/build-release exe="" strip=strip
    # Linked statically, like its pasmo: the kit runs on Linux systems older than this one.
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTUNEFUSE_TESTS=OFF -DCMAKE_EXE_LINKER_FLAGS=-static >/dev/null
    scripts/build-pasmo.sh "$pasmo_scratch" "$build/pasmo/pasmo" g++ >/dev/null
  else
    arch=$(windows_arch "${host#windows-}")
    build=$root/build-release-win${host#windows-} exe=.exe strip=$arch-w64-mingw32-strip
    scripts/build-pasmo.sh "$pasmo_scratch" "$build/pasmo/pasmo.exe" "$arch-w64-mingw32-g++-posix" >/dev/null
    cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-$arch.cmake" \
      -DCMAKE_BUILD_TYPE=Release -DTUNEFUSE_TESTS=OFF -DTUNEFUSE_WINDOWS_PASMO="$build/pasmo/pasmo.exe" >/dev/null
  fi
  cmake --build "$build" -j"$jobs" >/dev/null
  kit=$build/kit
  pasmo_built=$build/pasmo/pasmo$exe
}

# Lays out the archive's folder from the kit: stripped programs, our pasmo, the texts.
stage() {
  local folder=$1 title=$2
  rm -rf "$folder"
  mkdir -p "$folder/bin" "$folder/tools" "$folder/asm" "$folder/include" "$folder/licenses/pasmo" "$folder/source/pasmo"
  cp "$kit/tunefuse$exe" "$folder/"
  cp "$kit/tools/zx7$exe" "$kit/tools/bin2tap$exe" "$folder/tools/"
  cp "$pasmo_built" "$folder/tools/pasmo$exe"
  "$strip" "$folder/tunefuse$exe" "$folder"/tools/*
  cp "$kit"/asm/*.asm "$folder/asm/"
  cp "$kit/include/tunefuse.inc" "$kit/include/tunefuse.h" "$folder/include/"
  cp "$kit/game.tap" "$kit/music.pt3" "$kit/screen.scr" "$folder/"
  cp LICENSE "$folder/LICENSE.txt"
  cp "$pasmo_scratch"/pasmo-*/COPYING "$folder/licenses/pasmo/COPYING"
  cp "$pasmo_scratch"/pasmo-*/debian/copyright "$folder/licenses/pasmo/copyright"
  cp "$pasmo_scratch"/pasmo_* scripts/build-pasmo.sh "$folder/source/pasmo/"
  readme_text "$title" > "$folder/README.txt"
  if [ -n "$exe" ]; then
    # Windows users open texts in Notepad and friends: CR LF line ends.
    for text in README.txt LICENSE.txt licenses/pasmo/COPYING licenses/pasmo/copyright; do
      sed -i 's/\r*$/\r/' "$folder/$text"
    done
  fi
}

# The expected file list of an archive whose top folder is $1, sorted.
expected_list() {
  local entry
  for entry in "${files[@]}"; do echo "$1/${entry%%|*}"; done | sed "s/EXE/$exe/" | sort
}

make_zip() { # WIDTH ARCHIVE
  local width=$1 archive=$2 name
  build_kit "windows-$width"
  name=$(basename "$archive" .zip)
  stage "$dist/$name" "Windows"
  rm -f "$archive"
  (cd "$dist" && zip -q -r -X "$archive" "$name")
  rm -rf "${dist:?}/$name"
}

make_tar() { # ARCHIVE
  local archive=$1 name
  build_kit linux
  name=$(basename "$archive" .tar.gz)
  stage "$dist/$name" "Linux"
  (cd "$dist" && tar --owner=0 --group=0 --numeric-owner -czf "$archive" "$name")
  rm -rf "${dist:?}/$name"
}

zip_name=tunefuse-$version-windows-x86
tar_name=tunefuse-$version-linux-x86_64
mkdir -p "$dist"
# Wine only for the check, of the width this host runs (no 32-bit Wine where it cannot run).
scripts/install-deps.sh zip unzip g++-mingw-w64-i686-posix dpkg-dev cmake make g++ pasmo
make_zip 32 "$dist/$zip_name.zip"
zip_exe=$exe
make_tar "$dist/$tar_name.tar.gz"
tar_exe=$exe
ls -l "$dist/$zip_name.zip" "$dist/$tar_name.tar.gz"
[ "${1:-}" = --check ] || exit 0

# The check: each archive unpacked into a fresh folder away from the build tree, its file list
# compared, its demo run, its tape compared with the one the build's own kit makes.
work=$(mktemp -d)
trap 'rm -rf "$work"; [ -z "${wine:-}" ] || stop_wine' EXIT

check_list() { # ARCHIVE_LISTING_FILE TOP EXE
  exe=$3
  if ! diff <(grep -v '/$' "$1" | sort) <(expected_list "$2" | grep -v '/$'); then
    echo "$(basename "$2"): the archive's files differ from the list" >&2
    exit 1
  fi
  grep -qx "$2/bin/" "$1" || { echo "$2: the archive has no bin/ folder" >&2; exit 1; }
}

# Reference: the demo tape from the Linux release build's own kit.
mkdir -p "$work/reference"
cp -rL "$root/build-release/kit/." "$work/reference/"
(cd "$work/reference" && ./tunefuse >/dev/null)
reference=$work/reference/tunedemo.tap

mkdir "$work/linux"
tar -xzf "$dist/$tar_name.tar.gz" -C "$work/linux"
tar -tzf "$dist/$tar_name.tar.gz" > "$work/linux.list"
check_list "$work/linux.list" "$tar_name" "$tar_exe"
# No pasmo on the PATH: the kit must run on its own.
mkdir "$work/empty-path"
(cd "$work/linux/$tar_name" && PATH=$work/empty-path ./tunefuse >/dev/null)
cmp "$reference" "$work/linux/$tar_name/tunedemo.tap"
echo "The Linux archive's demo ran without a system pasmo and made the build's demo tape."

unzip -Z1 "$dist/$zip_name.zip" > "$work/windows.list"
check_list "$work/windows.list" "$zip_name" "$zip_exe"
choose_windows_width
scripts/install-deps.sh $(windows_packages "$windows_width")
zip_to_run=$dist/$zip_name.zip
if [ "$windows_width" = 64 ]; then
  zip_to_run=$work/$zip_name-64.zip
  make_zip 64 "$zip_to_run"
  unzip -Z1 "$zip_to_run" | sed "s|^$zip_name-64/|$zip_name/|" > "$work/twin.list"
  check_list "$work/twin.list" "$zip_name" "$zip_exe"
fi
mkdir "$work/windows"
unzip -q "$zip_to_run" -d "$work/windows"
start_wine "$windows_width" "$work/wine-prefix"
(cd "$work/windows"/*/ && "$wine" ./tunefuse.exe >/dev/null 2>&1)
cmp "$reference" "$work/windows"/*/tunedemo.tap
echo "The Windows archive's demo ran under $windows_width-bit Wine ($windows_width_reason) and made the build's demo tape."
