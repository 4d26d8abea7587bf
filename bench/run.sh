#!/bin/sh
# Builds the benchmarks in an optimised build folder of their own and runs them.
# Usage: bench/run.sh [build folder] [extra Google Benchmark options]
#        bench/run.sh operator [operator_bench.py options: --soak, --quick, --launch-only ...]
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = operator ]; then
  shift
  # What the operator feels, from outside: the program and its yardstick, built optimised.
  build_dir=${QUORNA_BENCH_BUILD:-$source_dir/build-bench}
  cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
  nice cmake --build "$build_dir" -j2 --target quorna-fobit-reader onewire quorna-bench-bare-window
  exec python3 "$source_dir/bench/operator_bench.py" --program "$build_dir/quorna-fobit-reader" \
    --bare "$build_dir/quorna-bench-bare-window" "$@"
fi
build_dir=${1:-$source_dir/build-bench}
[ $# -gt 0 ] && shift
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
nice cmake --build "$build_dir" --target quorna-bench -j1
"$build_dir/quorna-bench" "$@"
