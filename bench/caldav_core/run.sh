#!/usr/bin/env bash
# The calendar core alone: a one-month calendar-query over 10,000 stored
# events (a tenth recurring, some in a time zone), with and without expansion,
# parsing every object as the report does. Release build.
# Usage: bench/caldav_core/run.sh [extra Google Benchmark flags]
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/install-deps bench
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DTQ_BENCH=ON -DTQ_TESTS=OFF >/dev/null
cmake --build build/bench -j4 --target bench_caldav_core
exec taskset -c 2 build/bench/bench/caldav_core/bench_caldav_core --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true "$@"
