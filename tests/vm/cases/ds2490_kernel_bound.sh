#!/bin/sh
# The runtime's DS2490 backend with the kernel's ds2490 driving the emulated adapter: without
# settings the kernel's bus master is the default; a "ds2490" line does not take the adapter from
# the kernel unasked; with "detach-kernel" the runtime takes it, lists the bus, and gives it back
# (the kernel's bus master comes back) when it lets go at the program's end.
# vm: ds2490=yes
# vm: tokens=014A2F0C00000002
# vm: timeout=90
set -u
CHECK="$BUILD_DIR/quorna-reader-check"
OUT="$RESULT_DIR/check.out"
CONF="$RESULT_DIR/onewire.conf"
fail() { echo "FAIL: $*"; echo "--- the reader check said:"; cat "$OUT"; exit 1; }
has() { grep -qF -- "$1" "$OUT" || fail "no \"$1\""; }
masters() { ls /sys/bus/w1/devices/ 2>/dev/null | grep -c '^w1_bus_master'; }

ONEWIRE_CONF=/nonexistent/onewire.conf "$CHECK" >"$OUT" 2>&1
has "Backend: w1 /sys/bus/w1/devices/w1_bus_master1 (no settings file: USB port N is the kernel's bus master N)"
echo "no settings: the kernel's bus master"

echo "usb 1 = ds2490" >"$CONF"
ONEWIRE_CONF="$CONF" "$CHECK" >"$OUT" 2>&1 && fail "taken from the kernel unasked"
has "is not taken from the kernel unasked"
[ "$(masters)" = 1 ] || fail "the kernel's bus master went away"
echo "a ds2490 line: not taken from the kernel"

echo "usb 1 = ds2490 detach-kernel" >"$CONF"
ONEWIRE_CONF="$CONF" "$CHECK" >"$OUT" 2>&1 || fail "not taken with detach-kernel"
has "014A2F0C00000002  family 01  token, listed"
has "the kernel's DS9490R driver detached, given back when the runtime lets go"
n=0
until [ "$(masters)" = 1 ]; do
  n=$((n + 1)); [ $n -lt 100 ] || fail "the kernel did not get the adapter back"; sleep 0.1
done
echo "detach-kernel: taken, listed, given back: $(ls /sys/bus/w1/devices/ | grep w1_bus_master)"
