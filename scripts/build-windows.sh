#!/usr/bin/env bash
# Builds the shipping Windows program, 32-bit, into build-mingw/ (the Win32 program, onewire.dll
# and the reader check, without the tests) and packs its installer and zip:
#   build-mingw/quorna-fobit-reader-<version>-setup.exe   NSIS installer (silent with /S)
#   build-mingw/quorna-fobit-reader-<version>-win32.zip   the same files, to run unpacked
# Installs what it needs first (the windows set of scripts/dependencies.txt: the MinGW-w64 cross
# compilers, NSIS and zip, only what is missing; as another user than root it names the packages
# instead).
#   scripts/build-windows.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh windows
bash scripts/check-commands.sh windows
cmake -S . -B build-mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build build-mingw -j"$(nproc)" --target quorna-fobit-reader onewire quorna-reader-check \
  quorna-settings-folder
bash scripts/package-windows.sh build-mingw
