#!/usr/bin/env bash
# scripts/bench.sh: builds the benchmarks in Release, starts the private
# MariaDB server (and, for the replica benchmark, the cluster topology of
# the tests), runs every benchmark (medians of 7 repetitions in random
# interleaved order, so that each goal's two sides alternate), stops the
# server, and writes BENCHMARKS.md and docs/benchmarks.png from the results.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/install-deps.sh"
for tool in gnuplot python3; do
  command -v "$tool" >/dev/null || {
    sudo=(); [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    "${sudo[@]}" apt-get install -y -qq gnuplot-nox python3 >/dev/null
  }
done

out="$root/build/bench"
cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DORVEX_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$out" -j "$(nproc)"

state="$out/db"
cluster="$out/cluster"
trap 'bash "$root/scripts/test-db-server.sh" stop "$state";
      bash "$root/scripts/test-cluster.sh" stop "$cluster"' EXIT
# Room for the scaling benchmark's 10^6-row table (about 300 MB), as a
# project's server has room for its result table.
ORVEX_TEST_DB_BUFFER_POOL=1G bash "$root/scripts/test-db-server.sh" start "$state"
export ORVEX_TEST_DB_ENV="$state/db.env"
export ORVEX_TEST_CLUSTER_ENV="$cluster/cluster.env"

results=()
for bench in "$out"/bench/*_bench; do
  name=$(basename "$bench")
  echo "=== $name"
  # The replica pair of the cluster tests, for the read-your-writes wait,
  # runs only while its benchmark does.
  if [[ $name == cluster_bench ]]; then
    bash "$root/scripts/test-cluster.sh" start "$cluster"
  fi
  "$bench" --benchmark_repetitions=7 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true --benchmark_out_format=json \
    --benchmark_out="$out/$name.json" | grep -E '_median|^BM' || true
  results+=("$out/$name.json")
  if [[ $name == cluster_bench ]]; then
    bash "$root/scripts/test-cluster.sh" stop "$cluster"
  fi
done
python3 "$root/scripts/bench_report.py" "$root" "${results[@]}"
echo "wrote $root/BENCHMARKS.md and $root/docs/benchmarks.png"
