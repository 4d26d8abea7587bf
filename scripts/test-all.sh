#!/usr/bin/env bash
# The test command: installs what it needs, builds everything, cross-builds the core for 32-bit
# Windows, and runs every test through CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh

echo "== 32-bit Windows build of the core (i686-w64-mingw32)"
cmake -S . -B build-mingw -DQUORNA_CORE_ONLY=ON -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-mingw -j"$(nproc)"

echo "== tests"
cd build
ctest --output-on-failure -j"$(nproc)" --timeout 300
