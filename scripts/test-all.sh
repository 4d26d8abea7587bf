#!/usr/bin/env bash
# The test command: installs what it needs, checks that every outside command the tests start is
# there, builds everything, cross-builds the Windows program for 32-bit Windows and the Windows
# test set for 64-bit, and runs every test through CTest (the Windows ones under wine), then the
# sanitizer build's (scripts/test-sanitizers.sh).
#   test-all.sh [--no-install]   (--no-install: packages are managed by hand; only check them)
#
# Much of the tests' time is waiting (on windows, wine, the VM, timers), so the Windows builds and
# the sanitizer build run in the background at the lowest priorities beside the tests: they take
# the processor time the tests leave.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each step says when it starts and the processor time of what has ended so far (`times` in this
# shell: a subshell has no children of its own to count).
step_times=$(mktemp)
background=()
cleanup() {
  local group
  for group in "${background[@]}"; do
    kill -- -"$group" 2>/dev/null || true
  done
  rm -f "$step_times"
}
trap cleanup EXIT
step() {
  times >"$step_times"
  echo "== $* (at ${SECONDS} s; processor time so far, user and system: $(tail -1 "$step_times"))"
}
# Starts "$@" in the background at niceness $1, in a process group of its own, output to $2.
start_background() {
  local niceness=$1 log=$2
  shift 2
  setsid nice -n "$niceness" "$@" >"$log" 2>&1 &
  background+=($!)
}
# Waits for background job $1 (its index) and shows its log; fails as the job did.
finish_background() {
  local index=$1 log=$2 what=$3
  if wait "${background[index]}"; then
    tail -3 "$log"
    return 0
  fi
  cat "$log"
  echo "$what failed" >&2
  return 1
}

[ "${1:-}" = --no-install ] || bash scripts/install-deps.sh test
bash scripts/check-commands.sh test
step "build"
bash scripts/build.sh

# The shipping 32-bit program set (build-mingw) and the same sources as 64-bit (build-win64),
# whose tests run under wine64 on every host; the 32-bit tests run where the host runs 32-bit
# programs and are reported as skipped elsewhere.
step "Windows builds and the sanitizer build, in the background"
windows_log=build/windows-builds.log
start_background 19 "$windows_log" bash -c '
  set -euo pipefail
  for set in "build-mingw mingw-i686" "build-win64 mingw-x86_64"; do
    read -r folder toolchain <<<"$set"
    echo "== Windows build $folder ($toolchain)"
    cmake -S . -B "$folder" -DCMAKE_TOOLCHAIN_FILE="cmake/$toolchain.cmake" -DBUILD_TESTING=ON \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$folder" -j"$(nproc)"
  done'
# The sanitizer build below even that (the idle class: only processor time nothing else wants),
# so that the Windows builds, which the tests wait for, come first.
sanitizer_log=build/sanitizer-build.log
start_background 19 "$sanitizer_log" chrt --idle 0 bash scripts/test-sanitizers.sh build

step "tests of build"
status=0
# The Windows installers' test needs both Windows builds; it runs with their tests.
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 300 -E '^package_windows$' ||
  status=1

step "waiting for the Windows builds"
windows_built=yes
finish_background 0 "$windows_log" "the Windows builds" || windows_built=
if [ -n "$windows_built" ]; then
  step "Windows tests and the Windows installers' test"
  # Side by side: each has a wine prefix of its own, and most of their time is wine waiting on
  # the program; each prints when all are done.
  pids=()
  logs=(build-win64/ctest-output.log build-mingw/ctest-output.log build/package-windows.log)
  ctest --test-dir build-win64 --output-on-failure -j"$(nproc)" --timeout 300 >"${logs[0]}" 2>&1 &
  pids+=($!)
  ctest --test-dir build-mingw --output-on-failure -j"$(nproc)" --timeout 300 >"${logs[1]}" 2>&1 &
  pids+=($!)
  ctest --test-dir build --output-on-failure --timeout 400 -R '^package_windows$' >"${logs[2]}" 2>&1 &
  pids+=($!)
  for i in 0 1 2; do
    wait "${pids[i]}" || status=1
    echo "-- ${logs[i]}"
    cat "${logs[i]}"
  done
else
  status=1
fi

# After build's tests, whose short fuzz run grew the corpus the sanitizer build replays.
step "waiting for the sanitizer build"
if finish_background 1 "$sanitizer_log" "the sanitizer build"; then
  step "tests under the sanitizers"
  bash scripts/test-sanitizers.sh test || status=1
else
  status=1
fi
step "done"
exit $status
