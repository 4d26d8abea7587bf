#!/bin/sh
# The guest's side of tests/vm/vm_run.py (read its top for what a case may assume): runs every
# case of cases.list with a fresh emulated DS9490R attached, and writes NAME.rc and NAME.log
# into the results share. Runs as root in the chroot on the host's root.
R=/tmp/vm-results
. "$R/config.sh"
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/tmp LANG=C.UTF-8
cd /tmp || exit 1
MODPROBE="modprobe -d $KERNEL_TREE"
CTL=/tmp/ds2490.ctl
echo "guest: kernel $(uname -r), $(grep -c . "$R/cases.list") case(s)"

$MODPROBE vhci-hcd || echo "guest: vhci-hcd did not load"

# Waits up to $2 tenths of a second for the test $1 to hold.
wait_for() {
  n=0
  while ! eval "$1"; do
    n=$((n + 1))
    [ "$n" -lt "$2" ] || return 1
    sleep 0.1
  done
}

usb_device() {
  for d in /sys/bus/usb/devices/*; do
    [ "$(cat "$d/idVendor" 2>/dev/null)" = 04fa ] && { echo "$d"; return 0; }
  done
  return 1
}

# Attaches the emulator and waits for the device (and, with ds2490 loaded, its bus master).
attach() {
  usbip attach -r 127.0.0.1 -b 1-1 || return 1
  wait_for 'usb_device >/dev/null' 150 || return 1
  if [ "$CASE_DS2490" = yes ]; then
    # A master added again after an unplug takes the next number.
    wait_for 'ls /sys/bus/w1/devices/ 2>/dev/null | grep -q "^w1_bus_master"' 150 || return 1
  fi
  return 0
}

detach() {
  for port in $(usbip port 2>/dev/null | sed -n 's/^Port \([0-9]*\):.*/\1/p'); do
    usbip detach -p "$port" >/dev/null 2>&1
  done
  wait_for '! usb_device >/dev/null' 50
}

# The helper a case calls to plug the device in again after an unplug.
cat >/tmp/vm-attach <<EOF
#!/bin/sh
$(sed -n '/^wait_for() {/,/^}/p;/^usb_device() {/,/^}/p;/^attach() {/,/^}/p' "$0")
attach
EOF
chmod 755 /tmp/vm-attach

while IFS='|' read -r name path ds2490 wire tokens timeout; do
  [ -n "$name" ] || continue
  echo "guest: case $name"
  out="$R/$name.log"
  mkdir -p "$R/$name"
  : >"$out"
  $MODPROBE -r ds2490 >/dev/null 2>&1
  $MODPROBE -r wire >/dev/null 2>&1
  rm -f "$CTL"
  # shellcheck disable=SC2086 # the tokens are words
  "$EMULATOR" --port 3240 --control "$CTL" --trace "$R/$name/usb-trace.log" $tokens \
    >/tmp/emulator.log 2>&1 &
  emulator=$!
  if ! wait_for '[ -S "$CTL" ]' 100; then
    echo "harness: the emulator did not start" >>"$out"
    cat /tmp/emulator.log >>"$out"
    echo 99 >"$R/$name.rc"
    continue
  fi
  export CASE_DS2490="$ds2490"
  if [ "$ds2490" = yes ]; then
    # shellcheck disable=SC2086 # the module's parameters are words
    $MODPROBE wire $wire || echo "harness: wire did not load ($wire)" >>"$out"
    $MODPROBE ds2490 || echo "harness: ds2490 did not load" >>"$out"
  fi
  rc=98
  if attach; then
    USB_DEVICE=$(usb_device)
    export USB_DEVICE KERNEL_TREE SOURCE_DIR BUILD_DIR
    export W1_MASTER=/sys/bus/w1/devices/w1_bus_master1
    export EMULATOR_CTL="$EMULATOR --send $CTL"
    export VM_ATTACH=/tmp/vm-attach
    export AS_USER="setpriv --reuid=65534 --regid=65534 --clear-groups"
    export MODPROBE RESULT_DIR="$R/$name"
    timeout -k 5 "$timeout" "$path" >>"$out" 2>&1
    rc=$?
    [ "$rc" != 124 ] || echo "harness: the case ran over its $timeout s" >>"$out"
  else
    echo "harness: the emulated adapter did not come up (ds2490=$ds2490)" >>"$out"
    dmesg | tail -n 20 >>"$out"
  fi
  detach
  kill "$emulator" 2>/dev/null
  wait "$emulator" 2>/dev/null
  echo "$rc" >"$R/$name.rc"
done <"$R/cases.list"
echo "guest: all cases done"
