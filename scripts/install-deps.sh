#!/usr/bin/env bash
# Installs the Debian packages tunefuse needs to build, to make its demo tape and to run its
# tests. Runs apt-get through sudo when not run as root; does nothing for packages already there.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  googletest libgtest-dev
  pasmo
  fuse-emulator-utils fuse-emulator-sdl opense-basic
  libz80ex-dev zlib1g-dev
  clang libclang-rt-14-dev libclang-common-14-dev
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
