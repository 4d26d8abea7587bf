#!/usr/bin/env bash
# Installs the Debian packages that scripts/dependencies.txt lists for the sets named (run as
# root), and nothing when they are all there:
#   install-deps.sh run     building and running the Linux program (and, where there is no
#                           display, what the run command's screenshots need)
#   install-deps.sh [test]  everything the test command needs (the default)
#   install-deps.sh SET...  any sets of the list (package-check, rehearsal, ...)
set -euo pipefail
source "$(dirname "$0")/dependencies.sh"
[ $# -gt 0 ] || set -- test

missing=()
for package in $(dependency_rows "$@" | awk -F'\t' '$3 != "base" { print $2 }' | sort -u); do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
# The test set also brings the VM tests' kernel into its cache (never installed; as root only).
vm_kernel() {
  if printf '%s\n' "$@" | grep -qx test && [ "$(id -u)" = 0 ]; then
    bash "$(dirname "$0")/fetch-vm-kernel.sh"
  fi
}
if [ ${#missing[@]} -eq 0 ]; then
  vm_kernel "$@"
  exit 0
fi

if [ "$(id -u)" != 0 ]; then
  echo "missing packages: ${missing[*]}: run scripts/install-deps.sh $* as root" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
# wine32 is a 32-bit package: the i386 architecture comes first.
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --add-architecture i386
fi
# apt's and dpkg's own output goes to a log that is shown only when they fail.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "installing failed: ${missing[*]}" >&2
  exit 1
fi
echo "Installed ${#missing[@]} packages and what they need"
vm_kernel "$@"
