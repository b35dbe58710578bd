#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs each five times, printing medians.
# Extra arguments go to the benchmark binary, e.g. --benchmark_filter=Read.
set -euo pipefail
source "$(dirname "$0")/common.sh"
"$ROOT/scripts/deps.sh" "${BUILD_PACKAGES[@]}" libbenchmark-dev

dir="$ROOT/build-bench"
cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
  -DVTY_CONFIG_BUILD_BENCHMARKS=ON -DVTY_CONFIG_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target vty_config_bench >/dev/null
cd "$dir"  # the benchmark's files go to a folder below the working directory
./bench/vty_config_bench --benchmark_repetitions=5 \
  --benchmark_report_aggregates_only=true "$@" 2>&1 | grep -E '^Run on|median'
