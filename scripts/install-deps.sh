#!/usr/bin/env bash
# Installs the Debian packages tunefuse needs to build, to make its demo tape and to run its
# tests, or the packages named as arguments instead (NAME:i386 adds the i386 architecture first).
# Runs apt-get through sudo when not run as root; does nothing for packages already there.
#   scripts/install-deps.sh [PACKAGE...]
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  googletest libgtest-dev
  pasmo
  fuse-emulator-utils fuse-emulator-sdl opense-basic
  libz80ex-dev
  clang libclang-rt-14-dev libclang-common-14-dev
)
[ $# -eq 0 ] || packages=("$@")

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
