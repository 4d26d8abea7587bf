#!/usr/bin/env bash
# Configures and builds into build/:
#   build.sh                 the program, the runtime library, the reader check, tests and benchmarks
#   build.sh --program       only the program, the runtime library and the reader check (the run
#                            command's: no test framework needed)
#   build.sh --no-unit-tests as the first, without the unit test programs (the test command's: it
#                            runs them in the sanitizer build instead)
set -euo pipefail
cd "$(dirname "$0")/.."
configure=(cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr)
case "${1:-}" in
  --program)
    "${configure[@]}" -DBUILD_TESTING=OFF >/dev/null
    cmake --build build -j"$(nproc)" --target quorna-fobit-reader onewire quorna-reader-check
    ;;
  "" | --no-unit-tests)
    unit_tests=$([ "${1:-}" = --no-unit-tests ] && echo OFF || echo ON)
    "${configure[@]}" -DBUILD_TESTING=ON -DQUORNA_UNIT_TESTS="$unit_tests" >/dev/null
    cmake --build build -j"$(nproc)"
    ;;
  *)
    echo "usage: $0 [--program | --no-unit-tests]" >&2
    exit 64
    ;;
esac
