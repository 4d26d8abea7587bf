#!/bin/sh
# The runtime's own DS2490 backend (libusb) against the emulated adapter, with the kernel's
# ds2490 not loaded and no settings file, as the ordinary user nobody: refused without access to
# the device node, found once the node is given to the user's group (the guest has no logind for
# the desktop's uaccess ACL); one, two and twenty tokens, the adapter's own 81 chip never listed,
# an unplug and return found again while scanning, and owserver holding the adapter (busy).
# vm: ds2490=no
# vm: tokens=014A2F0C00000002
# vm: timeout=150
set -u
CHECK="$BUILD_DIR/quorna-reader-check"
export ONEWIRE_CONF=/nonexistent/onewire.conf
OUT="$RESULT_DIR/check.out"
node() {
  printf '/dev/bus/usb/%03d/%03d' "$(cat "$USB_DEVICE/busnum")" "$(cat "$USB_DEVICE/devnum")"
}
check() { $AS_USER "$CHECK" "$@" >"$OUT" 2>&1; }
fail() { echo "FAIL: $*"; echo "--- the reader check said:"; cat "$OUT"; exit 1; }
has() { grep -qF -- "$1" "$OUT" || fail "no \"$1\""; }
# A scan runs only after the driver's probe found the adapter; under emulation on a loaded host the
# probe's first status read can come too late (the report after it finds the adapter), so a scan
# whose probe missed is run again, at most twice more, and said.
scan() {
  want=$1; shift
  for try in 1 2 3; do
    check --scan "$@" && grep -qF -- "$want" "$OUT" && return 0
    grep -q "^Probe: no adapter found" "$OUT" || return 1
    echo "(the probe missed the adapter on try $try: scanning again)"
  done
  return 1
}
# The same for a plain report whose set-up of the adapter timed out (the backend sets it up again
# on the next pass, which a one-pass report does not reach).
found() {
  for try in 1 2 3; do
    check "$@" && return 0
    grep -qF "did not answer as it should" "$OUT" || return 1
    echo "(the adapter's set-up came too late on try $try: checking again)"
  done
  return 1
}
give() { chgrp 65534 "$(node)" && chmod 0660 "$(node)"; }

chmod 0600 "$(node)"
check && fail "found without access to $(node)"
has "no access to $(node)"
has "udev rule"
echo "without access: refused, naming $(node)"

give
found || fail "not found with the node given to the user's group"
has "(no settings file and the kernel drives no adapter: USB port N is the Nth DS2490 on USB)"
has "Set-up: 1: adapter found"
has "014A2F0C00000002  family 01  token, listed"
has "refused: the adapter's own ID chip"
has "Tokens listed: 1"
grep -E "^ +[0-9A-F]{16}  family 81 " "$OUT" | grep -vq "refused" && fail "the 81 chip is listed"
echo "one token:"; grep -E "Adapter:|chosen:|Tokens listed" "$OUT"

$EMULATOR_CTL add 01000001FE0000CB >/dev/null
scan "2 listed: " 2 || fail "two tokens"
has "2 listed: "
echo "two tokens: $(grep -m1 ' listed: ' "$OUT")"

# Twenty tokens of family 01, each with its CRC8.
TOKENS=$(/usr/bin/python3 -c '
def crc(bytes_):
    c = 0
    for x in bytes_:
        for _ in range(8):
            c = (c >> 1) ^ (0x8C if (c ^ x) & 1 else 0)
            x >>= 1
    return c
for i in range(20):
    b = [0x01, 0x10 + i, 0x20, 0x49, 0, 0, 0]
    print("".join("%02X" % v for v in b + [crc(b)]))')
$EMULATOR_CTL tokens $TOKENS >/dev/null
scan "20 listed: " 8 || fail "twenty tokens"
has "20 listed: "
echo "twenty tokens: listed after $(grep -m1 '20 listed: ' "$OUT" | cut -d' ' -f1) ms of scanning"

$EMULATOR_CTL tokens 014A2F0C00000002 >/dev/null
# The unplug once the scan has listed the token, and the scan ended once it lists it again after
# the unplug showed: how long each takes depends on the emulation's speed, not on the backend.
listed_again() { sed -n '/ms: none listed/,$p' "$OUT" | grep -q "ms: 1 listed: 014A2F0C00000002"; }
wait_for() {
  n=0
  until "$@"; do
    n=$((n + 1)); [ $n -lt 400 ] || return 1; sleep 0.1
  done
}
# A scan whose probe missed the adapter under emulation ends at once; it is started again, at most
# twice more, and said.
missed() { grep -q "^Probe: no adapter found" "$OUT" && grep -q "^Adapter \(not \)\{0,1\}found" "$OUT"; }
scanning() { grep -q "ms: 1 listed: 014A2F0C00000002" "$OUT" || missed; }
for try in 1 2 3; do
  $AS_USER "$CHECK" --scan 60 >"$OUT" 2>&1 &
  scanner=$!
  trap 'kill $scanner 2>/dev/null' EXIT
  wait_for scanning
  grep -q "ms: 1 listed: 014A2F0C00000002" "$OUT" && break
  missed || fail "the scan did not list the token"
  wait $scanner
  echo "(the probe missed the adapter on try $try: scanning again)"
done
grep -q "ms: 1 listed: 014A2F0C00000002" "$OUT" || fail "the scan did not list the token"
$EMULATOR_CTL unplug >/dev/null
sleep 2
$VM_ATTACH || fail "the emulator did not come back"
give
wait_for listed_again
kill $scanner 2>/dev/null
wait $scanner 2>/dev/null
trap - EXIT
grep -q "ms: none listed" "$OUT" || fail "the unplug did not show"
listed_again || fail "not found again after the replug"
echo "unplug and return while scanning:"; grep " ms: " "$OUT"

owserver -c /dev/null -u --foreground -p 127.0.0.1:4304 >"$RESULT_DIR/owserver.log" 2>&1 &
owserver=$!
trap 'kill $owserver 2>/dev/null; wait $owserver 2>/dev/null' EXIT
n=0
until grep -q "Opened USB DS9490" "$RESULT_DIR/owserver.log" 2>/dev/null; do
  n=$((n + 1)); [ $n -lt 300 ] || fail "owserver did not open the adapter"; sleep 0.1
done
check && fail "found while owserver holds the adapter"
has "is busy: "
"$CHECK" >"$OUT" 2>&1
has "held by owserver, pid $owserver"
echo "busy: $(grep -m1 'held by' "$OUT")"
