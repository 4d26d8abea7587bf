#!/bin/sh
# The kernel's own ds2490 and w1 drivers against the emulated adapter: the bus master appears,
# and w1_master_slaves lists exactly the emulator's ROM codes (its 81 chip and the tokens) once
# the kernel has searched; a token put on and one taken off show after its next searches; a
# shorted bus empties the listing; unplugged, the master goes, and plugged in again it comes back
# with the next number. An ordinary user reads the listing.
# vm: wire=timeout=1 slave_ttl=1
# vm: tokens=014A2F0C00000002 01000001FE0000CB
# vm: timeout=90
set -u
. "$SOURCE_DIR/tests/vm/cases/lib.sh"
expected() { for r in $(emulator_roms); do kernel_name "$r"; done | sort; }
listed() { sort "$W1_MASTER/w1_master_slaves" 2>/dev/null; }
same() { [ "$(listed)" = "$(expected)" ]; }
fail() { echo "FAIL: $*"; echo "kernel lists:"; listed; echo "emulator holds:"; expected; exit 1; }

echo "bus master: $(cat "$W1_MASTER/w1_master_name")"
retry same 30 || fail "the kernel's listing differs from the bus"
echo "kernel lists, as the bus holds:"; listed
$EMULATOR_CTL add 021CB801000000A2 >/dev/null
retry same 30 || fail "a token put on is not listed"
echo "after a token was put on:"; listed
$EMULATOR_CTL remove 014A2F0C00000002 >/dev/null
retry same 30 || fail "a token taken off is still listed"
echo "after a token was taken off:"; listed
[ "$($AS_USER id -u)" = 65534 ] || fail "AS_USER is not uid 65534"
[ "$($AS_USER sort "$W1_MASTER/w1_master_slaves")" = "$(expected)" ] ||
  fail "an ordinary user reads another listing"
$EMULATOR_CTL short on >/dev/null
retry '[ "$(listed)" = "not found." ]' 30 || fail "a shorted bus still lists devices"
echo "with the bus shorted: $(listed)"
$EMULATOR_CTL short off >/dev/null
retry same 30 || fail "the bus is not listed again after the short"
echo "emulator: $($EMULATOR_CTL stats)"
$EMULATOR_CTL unplug >/dev/null
retry '[ ! -e "$W1_MASTER" ]' 30 || fail "the bus master stays after an unplug"
$VM_ATTACH || fail "the adapter does not come back"
W1_MASTER=$(ls -d /sys/bus/w1/devices/w1_bus_master* | head -n 1)
echo "plugged in again: $(basename "$W1_MASTER")"
retry same 30 || fail "after plugging in again the listing differs"
