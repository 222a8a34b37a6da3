#!/usr/bin/env bash
# Builds tunefuse and its kit in build/kit, then runs it on the bundled demo inputs: the finished
# demo tape is left in build/kit.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTUNEFUSE_TESTS=OFF
cmake --build build -j"$(nproc)"
cd build/kit
./tunefuse
