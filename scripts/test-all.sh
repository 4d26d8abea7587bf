#!/usr/bin/env bash
# The test command: installs what it needs, checks that every outside command the tests start is
# there, builds everything, cross-builds the Windows program for 32-bit Windows and the Windows
# test set for 64-bit, and runs every test through CTest (the Windows ones under wine), then the
# sanitizer build's (scripts/test-sanitizers.sh).
#   test-all.sh [--no-install]   (--no-install: packages are managed by hand; only check them)
set -euo pipefail
cd "$(dirname "$0")/.."
# Each step says when it starts and how much processor time the steps so far took.
step() { echo "== $* (at ${SECONDS} s; processor time so far: $(times | tail -1))"; }
[ "${1:-}" = --no-install ] || bash scripts/install-deps.sh test
bash scripts/check-commands.sh test
step "build"
bash scripts/build.sh

# The shipping 32-bit program set (build-mingw) and the same sources as 64-bit (build-win64),
# whose tests run under wine64 on every host; the 32-bit tests run where the host runs 32-bit
# programs and are reported as skipped elsewhere.
for set in "build-mingw mingw-i686" "build-win64 mingw-x86_64"; do
  read -r folder toolchain <<<"$set"
  step "Windows build $folder ($toolchain)"
  cmake -S . -B "$folder" -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain.cmake" -DBUILD_TESTING=ON \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$folder" -j"$(nproc)"
done

step "tests"
status=0
echo "-- build"
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 300 || status=1
# The two Windows builds' tests side by side: each has a wine prefix of its own, and most of their
# time is wine waiting on the program; each prints when both are done.
pids=()
for folder in build-win64 build-mingw; do
  ctest --test-dir "$folder" --output-on-failure -j"$(nproc)" --timeout 300 \
    >"$folder/ctest-output.log" 2>&1 &
  pids+=($!)
done
for i in 0 1; do
  folder=$([ "$i" = 0 ] && echo build-win64 || echo build-mingw)
  wait "${pids[i]}" || status=1
  echo "-- $folder"
  cat "$folder/ctest-output.log"
done
# After build's tests, whose short fuzz run grew the corpus the sanitizer build replays.
step "sanitizer build and its tests"
bash scripts/test-sanitizers.sh || status=1
step "done"
exit $status
