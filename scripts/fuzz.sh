#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS]: builds the libFuzzer targets (clang, ASan+UBSan)
# and runs each for SECONDS (default 60), starting from the seed corpus in
# fuzz/corpus/<target>. Inputs it discovers go to build/fuzz/corpus/<target>;
# a crash leaves its input in build/fuzz/crashes and fails the run.
# ORVEX_FUZZ_SEED fixes libFuzzer's seed (the test command uses 1, so that a
# run can be repeated); unset, every run explores afresh.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-60}
"$root/scripts/install-deps.sh"

out="$root/build/fuzz"
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
  -DORVEX_SANITIZE=ON -DORVEX_FUZZ=ON -DORVEX_BUILD_TESTS=OFF \
  -DORVEX_BUILD_TOOLS=OFF -DORVEX_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$out" -j "$(nproc)"

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$out/crashes"
status=0
for seeds in "$root"/fuzz/corpus/*/; do
  name=$(basename "$seeds")
  corpus="$out/corpus/$name"
  mkdir -p "$corpus"
  dict="$root/fuzz/orvex.dict"
  limits=(-rss_limit_mb=2048 -timeout=20)
  if [ "$name" = pattern_guard ]; then
    # An accepted pattern compiles in 50 ms and 64 MiB (the target checks
    # both and regexec's 1 ms); anything far beyond ends the run here.
    dict="$root/fuzz/pattern_guard.dict"
    limits=(-rss_limit_mb=512 -timeout=2 -max_len=1300)
  fi
  echo "=== fuzz_$name for ${seconds}s"
  if ! "$out/fuzz/fuzz_$name" "$corpus" "$seeds" -dict="$dict" \
      -seed="${ORVEX_FUZZ_SEED:-0}" \
      -max_total_time="$seconds" "${limits[@]}" \
      -artifact_prefix="$out/crashes/$name-" -print_final_stats=1 \
      >"$out/$name.log" 2>&1; then
    echo "fuzz_$name FAILED; the log's end:"
    tail -40 "$out/$name.log"
    status=1
  else
    grep -E '^stat::number_of_executed_units|^#[0-9]+.*DONE' "$out/$name.log" | tail -2
  fi
done
exit $status
