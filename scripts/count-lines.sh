#!/usr/bin/env bash
# Counts the lines of the code and of its tests, all lines of every tracked file, and prints
# what share of the code the tests are. Fuzz seeds are data, not tests, and are left out.
set -euo pipefail
cd "$(dirname "$0")/.."

lines() { git ls-files -z -- "$@" | grep -z -v '^fuzz/corpus/' | xargs -0 -r cat | wc -l; }

# Each row: a name, then the tracked paths it counts.
code_rows=("src/:src" "asm/:asm" "tools/:tools" "demo/:demo" "scripts/:scripts"
  "include/:include" "CMake:CMakeLists.txt cmake" "CI:.ci/run")
test_rows=("tests/:tests" "fuzz/:fuzz" "bench/:bench")

total=0
section() {
  local title=$1 row n
  shift
  total=0
  for row in "$@"; do
    # shellcheck disable=SC2086 # a row's paths are a list
    n=$(lines ${row#*:})
    printf '  %-10s %6d\n' "${row%%:*}" "$n"
    total=$((total + n))
  done
  printf '%-12s %6d\n' "$title" "$total"
}

section code "${code_rows[@]}"
code=$total
section tests "${test_rows[@]}"
tests=$total
printf 'tests are %d%% of the code (%d / %d lines)\n' $((100 * tests / code)) "$tests" "$code"
