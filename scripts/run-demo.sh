#!/usr/bin/env bash
# The run command: installs what it needs, builds, and runs the program on a demo virtual reader
# that holds one token. Without a display it runs the program under a virtual X server for a few
# seconds and saves screenshots instead.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh run
bash scripts/check-commands.sh run
bash scripts/build.sh --program

demo=$(mktemp -d /tmp/quorna-demo.XXXX)
cat >"$demo/onewire.conf" <<CONF
# Demo settings, as on a configured machine: the default port is the USB adapter, here a virtual
# reader whose devices are the lines of reader.txt.
default = usb 1
usb 1 = virtual $demo/reader.txt
CONF
cat >"$demo/reader.txt" <<'READER'
# The USB adapter's own ID chip (family 81): it stays on the bus when every token is lifted,
# as on a real DS9490R. The program never lists it.
817F2A1D000000F6
# One token; add or delete token lines while the program scans.
021CB801000000A2
READER
export ONEWIRE_CONF="$demo/onewire.conf"

echo "== reader check: what the runtime and the reader driver see"
build/quorna-reader-check

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "== no display: the program runs under a private Xvfb and its windows are saved as pictures"
  bash scripts/screenshots.sh build "$demo/screenshots" build-win64 "$demo/reader.txt"
  echo "Saved in $demo: the demo settings (onewire.conf), the demo reader (reader.txt) and"
  echo "screenshots of both windows (screenshots/splash-found.png, splash-not-found.png, main.png)."
  echo "Run this command again on a desktop to try the program on the demo reader."
else
  echo "== the program"
  echo "Demo reader file: $demo/reader.txt"
  echo "Click \"Start Continuous Scanning\", then put tokens on and take them off by editing the file"
  echo "(one 16-digit ID per line), for example:"
  echo "  echo 01000001FE0000CB >> $demo/reader.txt     # a second token: nothing is copied"
  echo "  sed -i '/021CB801000000A2/d' $demo/reader.txt  # the first one lifted"
  build/quorna-fobit-reader
fi
