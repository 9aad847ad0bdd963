#!/usr/bin/env bash
# Per-request configuration look-up: a 1-level and a 20-level path, with and
# without access files, cache hits and misses. Release build.
# Usage: bench/config_lookup/run.sh [extra Google Benchmark flags]
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps bench
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTQ_BENCH=ON -DTQ_TESTS=OFF >/dev/null
cmake --build build/bench -j "$(nproc)" --target bench_config_lookup
# A look-up that fails is reported by the benchmark as an error, never as a
# time; any such error fails the run.
out=$(mktemp)
trap 'rm -f "$out"' EXIT
build/bench/bench/config_lookup/bench_config_lookup --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true "$@" | tee "$out"
if grep -q "ERROR OCCURRED" "$out"; then
  echo "bench/config_lookup: a look-up failed; the figures above are not valid" >&2
  exit 1
fi
