#!/usr/bin/env bash
# The test command: installs what it needs, checks that every outside command the tests start is
# there, builds everything, cross-builds the Windows program for 32-bit Windows and the Windows
# test set for 64-bit, builds the sanitizer build, then runs every test through CTest: the main
# build's, then the Windows ones under wine beside the sanitizer build's.
#   test-all.sh [--no-install]   (--no-install: packages are managed by hand; only check them)
#
# The builds come one after another: each keeps both processors busy. The unit tests run once,
# in the sanitizer build (scripts/test-sanitizers.sh), so the main build leaves them out. The
# tests whose timing counts (the VM, the serial soaks, the runtime's pass budgets under the
# sanitizers) run with nothing heavier than their own step beside them.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each step says when it starts and the processor time of the steps so far (`times` in this
# shell: a subshell has no children of its own to count).
step_times=$(mktemp)
trap 'rm -f "$step_times"' EXIT
step() {
  times >"$step_times"
  echo "== $* (at ${SECONDS} s; processor time so far, user and system: $(tail -1 "$step_times"))"
}

[ "${1:-}" = --no-install ] || bash scripts/install-deps.sh test
bash scripts/check-commands.sh test
step "build"
bash scripts/build.sh --no-unit-tests

# The shipping 32-bit program set (build-mingw) and the same sources as 64-bit (build-win64),
# whose tests run under wine64 on every host; the 32-bit tests run where the host runs 32-bit
# programs and are reported as skipped elsewhere.
for set in "build-mingw mingw-i686" "build-win64 mingw-x86_64"; do
  read -r folder toolchain <<<"$set"
  step "Windows build $folder ($toolchain)"
  # The 64-bit set is for its tests alone, so optimised less, which compiles faster.
  release_flags=()
  [ "$folder" = build-win64 ] && release_flags=(-DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG"
    -DCMAKE_C_FLAGS_RELEASE="-O1 -DNDEBUG")
  cmake -S . -B "$folder" -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain.cmake" -DBUILD_TESTING=ON \
    -DCMAKE_BUILD_TYPE=Release "${release_flags[@]}" >/dev/null
  cmake --build "$folder" -j"$(nproc)"
done

step "sanitizer build"
status=0
sanitizer_built=yes
bash scripts/test-sanitizers.sh build || { status=1; sanitizer_built=; }

step "tests of build"
# The Windows installers' test goes with the Windows tests.
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 300 -E '^package_windows$' ||
  status=1

# Side by side: the Windows tests (each wine group has a prefix of its own, and most of their
# time is wine waiting on the program), the installers' test and the sanitizer build's
# end-to-end cases. Each prints when all are done.
step "Windows tests, the Windows installers' test and the end-to-end cases under the sanitizers"
names=(build-win64 build-mingw package_windows "end-to-end cases under the sanitizers")
logs=(build-win64/ctest-output.log build-mingw/ctest-output.log build/package-windows.log
  build/sanitizer-tests.log)
pids=()
# One more than the processors: the three wine groups, the longest, then start together.
ctest --test-dir build-win64 --output-on-failure -j"$(($(nproc) + 1))" --timeout 300 >"${logs[0]}" 2>&1 &
pids+=($!)
ctest --test-dir build-mingw --output-on-failure -j"$(nproc)" --timeout 300 >"${logs[1]}" 2>&1 &
pids+=($!)
ctest --test-dir build --output-on-failure --timeout 400 -R '^package_windows$' >"${logs[2]}" 2>&1 &
pids+=($!)
if [ -n "$sanitizer_built" ]; then
  bash scripts/test-sanitizers.sh test --end-to-end >"${logs[3]}" 2>&1 &
  pids+=($!)
fi
for i in "${!pids[@]}"; do
  wait "${pids[i]}" || status=1
  echo "-- ${names[i]}"
  cat "${logs[i]}"
done
# The sanitizer build's unit and runtime tests, alone: their pass budgets are real time.
if [ -n "$sanitizer_built" ]; then
  step "unit and runtime tests under the sanitizers"
  bash scripts/test-sanitizers.sh test --units || status=1
fi
step "done"
exit $status
