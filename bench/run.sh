#!/bin/sh
# Builds the benchmarks in an optimised build folder of their own and runs them.
# Usage: bench/run.sh [build folder] [extra Google Benchmark options]
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${1:-$source_dir/build-bench}
[ $# -gt 0 ] && shift
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
nice cmake --build "$build_dir" --target quorna-bench -j1
"$build_dir/quorna-bench" "$@"
