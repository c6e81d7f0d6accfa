#!/usr/bin/env bash
# Builds the benchmarks without sanitizers, optimised, and runs them: the service's volume pass,
# the installer's decompression pass over the same volumes, and the driver's post-read decision.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DOMBRIX_NO_SANITIZERS=ON >/dev/null
cmake --build build/bench --target bench bench_filter -j2 >/dev/null
build/bench/tools/bench
build/bench/tests/filter/bench/bench_filter
