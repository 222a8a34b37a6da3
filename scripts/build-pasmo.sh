#!/usr/bin/env bash
# Builds pasmo.exe, the Z80 assembler of the Windows kit, from Debian's own pasmo source package
# with the 32-bit mingw-w64 compiler. The source is fetched into a scratch folder at build time;
# nothing of it is kept in the repository.
#   scripts/build-windows-pasmo.sh <scratch folder> <where to put pasmo.exe>
set -euo pipefail

scratch=${1:?scratch folder}
target=${2:?path of pasmo.exe}
compiler=i686-w64-mingw32-g++-posix

if [ -s "$target" ]; then exit 0; fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
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

mkdir -p "$scratch"
cd "$scratch"
source_dir=$(find . -maxdepth 1 -type d -name 'pasmo-*' | head -n 1)
if [ -z "$source_dir" ]; then
  apt-get source -qq pasmo >/dev/null
  source_dir=$(find . -maxdepth 1 -type d -name 'pasmo-*' | head -n 1)
fi
cd "$source_dir"

# pasmo is a handful of C++ files whose only configured value is its version: compile the files
# its Makefile.am lists directly, with the version from the package.
sources=$(sed -n '/^pasmo_SOURCES/,/^$/p' Makefile.am | grep -o '[a-z_]*\.cpp' | tr '\n' ' ')
version=$(sed -n 's/^AC_INIT(\[*pasmo\]*, *\[*\([0-9.]*\).*/\1/p' configure.ac)
mkdir -p "$(dirname "$target")"
$compiler -O2 -w -DVERSION="\"${version:-0.5.3}\"" -o "$target.part" $sources \
  -static -static-libgcc -static-libstdc++
mv "$target.part" "$target"
echo "pasmo.exe built: $target"
