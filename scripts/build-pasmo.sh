#!/usr/bin/env bash
# Builds pasmo, the Z80 assembler of the kit, from Debian's own pasmo source package, linked
# statically so that it runs on its own: for Windows with a mingw-w64 compiler (32-bit unless
# told otherwise), for Linux with g++. The source is fetched into a scratch folder; nothing of it
# is kept in the repository.
#   scripts/build-pasmo.sh <scratch folder> <where to put the program> [compiler]
set -euo pipefail

scratch=${1:?scratch folder}
target=${2:?path of the program}
compiler=${3:-i686-w64-mingw32-g++-posix}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
mkdir -p "$scratch"
cd "$scratch"
source_dir=$(find . -maxdepth 1 -type d -name 'pasmo-*' | head -n 1)
if [ -z "$source_dir" ]; then
  sources=/etc/apt/sources.list.d/tunefuse-deb-src.sources
  if ! grep -rqs "^Types:.*deb-src" /etc/apt/sources.list.d/ && ! grep -qs "^deb-src" /etc/apt/sources.list; then
    $sudo tee "$sources" >/dev/null <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
    $sudo apt-get update -qq
  fi
  command -v dpkg-source >/dev/null || $sudo apt-get install -y -qq --no-install-recommends dpkg-dev
  apt-get source -qq pasmo >/dev/null
  source_dir=$(find . -maxdepth 1 -type d -name 'pasmo-*' | head -n 1)
fi
if [ -s "$target" ]; then exit 0; fi
cd "$source_dir"

# pasmo is a handful of C++ files whose only configured value is its version: compile the files
# its Makefile.am lists directly, with the version from the package.
sources=$(sed -n '/^pasmo_SOURCES/,/^$/p' Makefile.am | grep -o '[a-z_]*\.cpp' | tr '\n' ' ')
version=$(sed -n 's/^AC_INIT(\[*pasmo\]*, *\[*\([0-9.]*\).*/\1/p' configure.ac)
mkdir -p "$(dirname "$target")"
$compiler -O2 -w -DVERSION="\"${version:-0.5.3}\"" -o "$target.part" $sources \
  -static -static-libgcc -static-libstdc++
mv "$target.part" "$target"
echo "pasmo built: $target"
