#!/usr/bin/env bash
# Checks the layout of the sources, then runs every test twice: a normal
# build (g++) and a build under AddressSanitizer and UndefinedBehaviorSanitizer
# (clang). Installs what is missing first, and ends with a short run of every
# fuzzer (ORVEX_FUZZ_SECONDS each, default 60). Exits non-zero if anything
# fails.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
jobs=$(nproc)

echo "=== format"
"$root/scripts/check-format.sh"

build_and_test() {
  local name=$1
  shift
  local dir="$root/build/$name"
  echo "=== $name build"
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  echo "=== $name tests"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs"
}

build_and_test normal -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc
build_and_test sanitize -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DORVEX_SANITIZE=ON
echo "=== fuzzing each target for ${ORVEX_FUZZ_SECONDS:-60}s"
# The pattern guard's target times regcomp and regexec: twice its bounds
# here, where a shared or busy machine moves CPU time (see the target).
ORVEX_FUZZ_SEED=${ORVEX_FUZZ_SEED:-1} \
  ORVEX_FUZZ_TIME_SLACK=${ORVEX_FUZZ_TIME_SLACK:-2} \
  "$root/scripts/fuzz.sh" "${ORVEX_FUZZ_SECONDS:-60}"
echo "=== all tests passed in both builds, and the fuzzers found nothing"
