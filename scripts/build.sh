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
    if [ "${1:-}" = --no-unit-tests ]; then
      # Optimised less and line tables only: the test command's build is for running its tests
      # (the benchmarks build their own, bench/run.sh), and compiles faster so.
      "${configure[@]}" -DBUILD_TESTING=ON -DQUORNA_UNIT_TESTS=OFF \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" >/dev/null
    else
      "${configure[@]}" -DBUILD_TESTING=ON -DQUORNA_UNIT_TESTS=ON \
        -UCMAKE_CXX_FLAGS_RELWITHDEBINFO -UCMAKE_C_FLAGS_RELWITHDEBINFO >/dev/null
    fi
    cmake --build build -j"$(nproc)"
    ;;
  *)
    echo "usage: $0 [--program | --no-unit-tests]" >&2
    exit 64
    ;;
esac
