#!/usr/bin/env bash
# The sanitizer part of the test command: the unit tests, the runtime tests (hostile servers,
# fuzz corpus replay) and the end-to-end tests, built with GCC's AddressSanitizer (leaks
# included) and UndefinedBehaviorSanitizer into build-asan/. Only what those tests run is built.
#   test-sanitizers.sh [build | test [--end-to-end | --units]]   (default: both, all tests)
# --end-to-end runs only the end-to-end cases, --units the others: the unit and runtime tests,
# whose pass budgets are real time and which the slowness of the sanitizers leaves little room, so
# the test command runs them alone and the end-to-end cases beside the Windows tests.
set -euo pipefail
cd "$(dirname "$0")/.."
step=${1:-all}
subset=${2:-}
case "$step $subset" in
  "all " | "build " | "test " | "test --end-to-end" | "test --units") ;;
  *) echo "usage: $0 [build | test [--end-to-end | --units]]" >&2; exit 64 ;;
esac

units=$(basename -s .cpp tests/test_*.cpp tests/qt/test_*.cpp | tr '\n' ' ')
runtime="test_onewire_units test_onewire_owserver test_onewire_library test_onewire_serial test_onewire_ds2490
  test_ds2490_model"
replays="fuzz_owserver_reply_replay fuzz_settings_replay fuzz_w1_reply_replay"

if [ "$step" != test ]; then
  echo "== sanitizer build (ASan + UBSan) in build-asan"
  # Ninja, because it builds the many small test programs side by side where make goes one by one.
  cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g1" \
    -DQUORNA_SANITIZE=ON -DQUORNA_FUZZ_CORPUS="$PWD/build/onewire-fuzz" >/dev/null
  # shellcheck disable=SC2086
  cmake --build build-asan -j"$(nproc)" --target $units $runtime $replays onewire \
    quorna-fobit-reader ds2480b-emulator
fi
[ "$step" != build ] || exit 0

echo "== tests under the sanitizers"
export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1
# The serial backend's timed cases run in the main build: its soaks (long, and forking thousands
# of idle processes from a sanitized test takes minutes: every child copies the shadow memory's
# page tables) and the cases that count passes or pass times, which assume the real speed.
timed_serial="SerialSoak.*:SerialBackend.SlowAnswersAt115200FallBackTo9600"
timed_serial="$timed_serial:SerialBackend.TwoAndTwentyTokensAndChangesBetweenPasses"
timed_serial="$timed_serial:SerialBackend.ABadPortEndsThePassInTimeAndSaysWhy"
timed_serial="$timed_serial:SerialBackend.UnpluggedAndPluggedBackInIsFoundAgainWithinTwoPasses"
export GTEST_FILTER="-$timed_serial"
selected="^($(echo $units $runtime | tr ' ' '|')|onewire_fuzz_.*_replay|e2e_.*)\$"
excluded='wine|wayland|package'
case "$subset" in
  --end-to-end) selected='^e2e_.*$' ;;
  --units) excluded="$excluded|^e2e_" ;;
esac
cd build-asan
ctest --output-on-failure -j"$(nproc)" --timeout 300 -R "$selected" -E "$excluded"
