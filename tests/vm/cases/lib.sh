# Shared by the cross-check cases (sourced, not a case: not executable).
# The emulator's ROM codes (16 hex digits, ROM order), one a line, sorted.
emulator_roms() { $EMULATOR_CTL list | tr ' ' '\n' | grep -E '^[0-9A-F]{16}$' | sort; }
# A ROM code as the kernel names it: family, then the 48-bit serial as one number, lower case.
kernel_name() {
  h=$(echo "$1" | tr 'A-F' 'a-f')
  s=""
  for i in 13 11 9 7 5 3; do s="$s$(echo "$h" | cut -c"$i-$((i + 1))")"; done
  echo "$(echo "$h" | cut -c1-2)-$s"
}
# A ROM code as owserver names it (format f.i): family, a dot, the serial in ROM order.
owfs_name() { echo "$(echo "$1" | cut -c1-2).$(echo "$1" | cut -c3-14)"; }
# Waits up to $2 seconds (in tenths) for the command $1 to succeed.
retry() {
  n=0
  until eval "$1"; do
    n=$((n + 1))
    [ "$n" -lt "$(($2 * 10))" ] || return 1
    sleep 0.1
  done
}
