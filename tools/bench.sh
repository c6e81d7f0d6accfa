#!/usr/bin/env bash
# Builds the benchmarks without sanitizers, optimised, and runs them: the service's volume pass
# and the driver's post-read decision. Then, when valgrind is installed, counts the volume pass's
# own instructions per record with callgrind (the simulated Windows left out), which the
# machine's load does not move: for a volume whose records are all turned down before a file is
# opened, and for the mixed volume; and the driver's own instructions per read in each case of
# the filter's benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DOMBRIX_NO_SANITIZERS=ON >/dev/null
cmake --build build/bench --target bench bench_filter -j2 >/dev/null
build/bench/tools/bench
build/bench/tests/filter/bench/bench_filter
if command -v valgrind >/dev/null; then
  records=20000
  for kind in rejected mix; do
    out=build/bench/callgrind.$kind.out
    valgrind --tool=callgrind --callgrind-out-file=$out --toggle-collect='CompressVolume*' \
      build/bench/tools/bench $kind $records >/dev/null 2>&1
    echo -n "own instructions, $kind volume: "
    python3 tools/bench/own_instructions.py $out $records
  done
  # The driver's own instructions per read, by case of bench_filter (0 one file, 1 1,000 files,
  # 2 mix, 3 unwatched).
  for c in 0 1 2 3; do
    out=build/bench/callgrind.filter$c.out
    valgrind --tool=callgrind --callgrind-out-file=$out --toggle-collect='OnPreRead' --toggle-collect='OnPostRead' \
      --toggle-collect='OnPreCleanup' --toggle-collect='*CheckWorker*' \
      build/bench/tests/filter/bench/bench_filter $c >/dev/null 2>&1
    echo -n "driver instructions, case $c: "
    python3 tools/bench/driver_instructions.py $out $([ $c -le 1 ] && echo 1000 || echo 20000)
  done
else
  echo "valgrind not installed: no instruction counts"
fi
