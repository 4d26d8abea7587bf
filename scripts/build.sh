#!/usr/bin/env bash
# Configures and builds into build/:
#   build.sh            the program, the runtime library, the reader check, tests and benchmarks
#   build.sh --program  only the program, the runtime library and the reader check (the run
#                       command's: no test framework needed)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --program ]; then
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DBUILD_TESTING=OFF >/dev/null
  cmake --build build -j"$(nproc)" --target quorna-fobit-reader onewire quorna-reader-check
else
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DBUILD_TESTING=ON >/dev/null
  cmake --build build -j"$(nproc)"
fi
