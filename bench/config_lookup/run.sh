#!/usr/bin/env bash
# Per-request configuration look-up: a 1-level and a 20-level path, with and
# without access files, cache hits and misses. Release build.
# Usage: bench/config_lookup/run.sh [extra Google Benchmark flags]
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps bench
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTQ_BENCH=ON -DTQ_TESTS=OFF >/dev/null
cmake --build build/bench -j "$(nproc)" --target bench_config_lookup
exec build/bench/bench/config_lookup/bench_config_lookup --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true "$@"
