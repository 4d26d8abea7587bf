#!/bin/sh
# Builds the benchmarks in an optimised build folder of their own and runs them.
# Usage: bench/run.sh [build folder] [extra Google Benchmark options]
#        bench/run.sh operator [--wine] [operator_bench.py options: --soak, --quick, ...]
#          (--wine: also the Windows program under wine64, from a 64-bit Windows build)
set -eu
source_dir=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = operator ]; then
  shift
  # What the operator feels, from outside: the program and its yardstick, built optimised.
  build_dir=${QUORNA_BENCH_BUILD:-$source_dir/build-bench}
  cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
  nice cmake --build "$build_dir" -j2 --target quorna-fobit-reader onewire quorna-bench-bare-window
  if [ "${1:-}" = --wine ]; then
    shift
    # The Windows program beside it under wine64: a 64-bit Windows build of the same sources.
    win_dir=${QUORNA_BENCH_WINDOWS_BUILD:-$source_dir/build-win64-bench}
    cmake -S "$source_dir" -B "$win_dir" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$source_dir/cmake/mingw-x86_64.cmake" >/dev/null
    nice cmake --build "$win_dir" -j2 --target quorna-fobit-reader onewire quorna-bench-bare-window
    set -- --windows "$win_dir/quorna-fobit-reader.exe" \
      --windows-bare "$win_dir/quorna-bench-bare-window.exe" "$@"
  fi
  exec python3 "$source_dir/bench/operator_bench.py" --program "$build_dir/quorna-fobit-reader" \
    --bare "$build_dir/quorna-bench-bare-window" "$@"
fi
build_dir=${1:-$source_dir/build-bench}
[ $# -gt 0 ] && shift
cmake -S "$source_dir" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
nice cmake --build "$build_dir" --target quorna-bench -j1
"$build_dir/quorna-bench" "$@"
