#!/bin/sh
# owserver's DS9490 driver (through libusb) against the emulated adapter, with the kernel's
# ds2490 not loaded: owdir lists exactly the emulator's ROM codes, also as the bus changes.
# vm: ds2490=no
# vm: tokens=014A2F0C00000002 01000001FE0000CB
# vm: timeout=90
set -u
. "$SOURCE_DIR/tests/vm/cases/lib.sh"
PORT=127.0.0.1:4304
owserver -c /dev/null -u --foreground -p "$PORT" >"$RESULT_DIR/owserver.log" 2>&1 &
owserver=$!
trap 'kill $owserver 2>/dev/null; wait $owserver 2>/dev/null' EXIT
expected() { for r in $(emulator_roms); do owfs_name "$r"; done | sort; }
listed() {
  owdir -s "$PORT" /uncached 2>/dev/null | sed 's|.*/||' | grep -E '^[0-9A-F]{2}\.[0-9A-F]{12}$' |
    sort
}
same() { [ "$(listed)" = "$(expected)" ]; }
fail() {
  echo "FAIL: $*"; echo "owdir lists:"; listed; echo "emulator holds:"; expected
  echo "owserver said:"; tail -n 20 "$RESULT_DIR/owserver.log"; exit 1
}

retry 'owdir -s "$PORT" / >/dev/null 2>&1' 30 || fail "owserver does not answer"
retry same 20 || fail "owserver's listing differs from the bus"
echo "owdir lists, as the bus holds:"; listed
$EMULATOR_CTL add 021CB801000000A2 >/dev/null
retry same 20 || fail "a token put on is not listed"
$EMULATOR_CTL remove 014A2F0C00000002 >/dev/null
retry same 20 || fail "a token taken off is still listed"
echo "after one token put on and one taken off:"; listed
echo "emulator: $($EMULATOR_CTL stats)"
