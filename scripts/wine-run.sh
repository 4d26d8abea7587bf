#!/usr/bin/env bash
# Usage: wine-run.sh 32|64 PREFIX PROGRAM [ARGUMENTS...]
# Runs a Windows program under wine in the wine prefix PREFIX, the emulator through which CTest
# runs the Windows builds' tests. The prefix is made by the first run (about 17 s) and shared by
# every later one; runs that start together wait for the one making it. A 32-bit program on a host
# that refuses 32-bit programs is not run: exit 77 (the tests' "skipped").
set -euo pipefail
bits=$1 prefix=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)

if [ "$bits" = 32 ]; then
  if ! bash "$here/host-runs-32bit.sh"; then
    echo "SKIPPED: this host does not run 32-bit programs (its kernel has IA-32 emulation off)," \
      "so wine32 cannot start $(basename "$1")"
    exit 77
  fi
  # With wine32 installed, wine picks the 32-bit loader.
  wine=/usr/bin/wine
  if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
    echo "missing package wine32:i386 (for the 32-bit Windows tests under wine):" \
      "run scripts/install-deps.sh" >&2
    exit 1
  fi
else
  wine=/usr/lib/wine/wine64
fi
source "$here/dependencies.sh"
require_commands "$wine"

export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
if [ ! -e "$prefix/.ready" ]; then
  rm -rf "$prefix"
  "$wine" wineboot -i >/dev/null 2>&1
  touch "$prefix/.ready"
fi
flock -u 9
exec 9>&-
exec "$wine" "$@"
