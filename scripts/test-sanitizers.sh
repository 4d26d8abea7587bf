#!/usr/bin/env bash
# The sanitizer part of the test command: the unit tests, the runtime tests (hostile servers,
# fuzz corpus replay) and the end-to-end tests, built with GCC's AddressSanitizer (leaks
# included) and UndefinedBehaviorSanitizer into build-asan/. Only what those tests run is built.
#   test-sanitizers.sh [build | test [--untimed | --timed]]   (default: both)
# --timed runs only the tests whose pass budgets are real time (the serial backend's, against the
# emulator on a pseudo-terminal), --untimed all others: the test command runs the untimed ones
# beside the Windows tests and the timed ones alone.
set -euo pipefail
cd "$(dirname "$0")/.."
step=${1:-all}
subset=${2:-}
case "$step $subset" in
  "all " | "build " | "test " | "test --untimed" | "test --timed") ;;
  *) echo "usage: $0 [build | test [--untimed | --timed]]" >&2; exit 64 ;;
esac
timed="test_onewire_serial"

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
# Forking thousands of idle processes from a sanitized test takes minutes (every child copies
# the shadow memory's page tables); the main build runs that test.
export GTEST_FILTER='-SerialSoak.ThousandsOfProcessesDoNotStretchAPass'
selected="^($(echo $units $runtime | tr ' ' '|')|onewire_fuzz_.*_replay|e2e_.*)\$"
excluded='wine|wayland|package'
case "$subset" in
  --untimed) excluded="$excluded|^($timed)\$" ;;
  --timed) selected="^($timed)\$" ;;
esac
cd build-asan
ctest --output-on-failure -j"$(nproc)" --timeout 300 -R "$selected" -E "$excluded"
