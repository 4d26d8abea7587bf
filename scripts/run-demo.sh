#!/usr/bin/env bash
# The run command: installs what it needs, builds, and runs the program on a demo virtual reader
# that holds one token. Without a display it runs the program under a virtual X server for a few
# seconds and saves screenshots instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh

demo=$(mktemp -d /tmp/quorna-demo.XXXX)
cat >"$demo/onewire.conf" <<CONF
# Demo settings: the USB adapter is a virtual reader whose tokens are the lines of reader.txt.
usb 1 = virtual $demo/reader.txt
CONF
echo 021CB801000000A2 >"$demo/reader.txt"
export ONEWIRE_CONF="$demo/onewire.conf"

echo "Demo reader file: $demo/reader.txt (one token per line, 16 hex digits; edit it while the program runs)"
echo "== console demo: one search pass"
build/quorna-reader-console

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "== no display: the program runs under a private Xvfb and its windows are saved as pictures"
  bash scripts/screenshots.sh build "$demo/screenshots"
  echo "Screenshots of both windows: $demo/screenshots/*.png"
else
  echo "== the program"
  build/quorna-fobit-reader
fi
