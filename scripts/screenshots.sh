#!/usr/bin/env bash
# Renders the program's windows to PNG files under a private Xvfb:
#   splash-found.png      the start-up window after the adapter was found
#   splash-not-found.png  the start-up window's error screen
#   main.png              the main window with one token read and copied
# and, given a Windows build, the same three as drawn by the Win32 front-end under wine64
# (wine-splash-found.png, wine-splash-not-found.png, wine-main.png). The virtual reader holds the
# run command's demo token, 021CB801000000A2, or READER_FILE's one token (the run command passes
# its own reader file, so the pictures show the token it prints).
# Usage: scripts/screenshots.sh [BUILD_DIR [OUT_DIR [WINDOWS_BUILD_DIR [READER_FILE]]]]
#   (defaults: build, build/screenshots, and build-win64 when it holds quorna-fobit-reader.exe)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-$build/screenshots}
winbuild=${3:-build-win64}
reader=${4:-}
program=$build/quorna-fobit-reader
[ -x "$program" ] || { echo "no $program: build first" >&2; exit 1; }
mkdir -p "$out"

work=$(mktemp -d /tmp/quorna-shots-XXXXXX)
chmod 700 "$work"
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  [ -n "${WINEPREFIX:-}" ] && /usr/lib/wine/wineserver -k 2>/dev/null
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A free display: Xvfb writes the number it chose to the pipe.
Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
export DISPLAY=":$(tr -d '[:space:]' <"$work/display")"
export XDG_RUNTIME_DIR=$work QT_QPA_PLATFORM=xcb
unset WAYLAND_DISPLAY

# The token the main window copies: the reader's one token line (the adapter's own ID chips,
# families 81 and 09, are never listed).
if [ -n "$reader" ]; then
  cp "$reader" "$work/reader.txt"
else
  printf '817F2A1D000000F6\n021CB801000000A2\n' >"$work/reader.txt"
fi
tokens=$(awk '{ sub(/#.*/, "") } length($1) == 16 && $1 ~ /^[0-9A-Fa-f]+$/ { print toupper($1) }' "$work/reader.txt" |
  grep -vE '^(81|09)' || true)
[ "$(printf '%s\n' "$tokens" | grep -c .)" = 1 ] ||
  { echo "the reader file must hold exactly one token, not: ${tokens:-none}" >&2; exit 1; }
token=$tokens

wait_window() {  # title -> window id, within 30 s
  for _ in $(seq 300); do
    local id
    id=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -1) || true
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  echo "no window '$1'" >&2
  return 1
}

shoot() {  # window id, file
  import -window "$1" "$2"
  echo "wrote $2"
}

# How the program is started and how it names files: natively, or under wine (drive Z: is /).
run=("$program")
native_path() { echo "$1"; }
wine_path() { echo "Z:${1//\//\\}"; }

start_program() {  # reader file, log name: starts the program, waits for its start-up window
  printf 'default = usb 1\nusb 1 = virtual %s\n' "$(native_path "$1")" >"$work/onewire.conf"
  "${run[@]}" >"$work/$2.log" 2>&1 &
  program_pid=$!
  pids+=($program_pid)
  splash=$(wait_window "Quorna key reader")
  echo "the start-up window is shown ($2)"
}

shoot_all() {  # file name prefix
  # Found: the status shows where the adapter is until the hand-over, 3 s after the probe.
  start_program "$work/reader.txt" found
  sleep 1.5
  shoot "$splash" "$out/${1}splash-found.png"

  # Main window: one token read once and copied.
  main=$(wait_window "Quorna Fobit Reader")
  xdotool mousemove --window "$main" 368 76 click 1
  for _ in $(seq 100); do
    [ "$(xclip -o -selection clipboard 2>/dev/null || true)" = "$token" ] && break
    sleep 0.1
  done
  sleep 0.3
  shoot "$main" "$out/${1}main.png"
  kill "$program_pid"
  wait "$program_pid" 2>/dev/null || true

  # Not found: the only reader is missing, so every port's set-up fails.
  start_program "$work/missing.txt" not-found
  sleep 2
  shoot "$splash" "$out/${1}splash-not-found.png"
  kill "$program_pid"
  wait "$program_pid" 2>/dev/null || true
}

export ONEWIRE_CONF=$work/onewire.conf
shoot_all ""

# The Win32 front-end under wine64, in a prefix of its own inside the Windows build folder (made
# once, about 17 s).
if [ -f "$winbuild/quorna-fobit-reader.exe" ]; then
  export WINEPREFIX=$PWD/$winbuild/wine-screenshots
  bash scripts/wine-run.sh 64 "$WINEPREFIX" wineboot >/dev/null 2>&1
  run=(bash scripts/wine-run.sh 64 "$WINEPREFIX" "$winbuild/quorna-fobit-reader.exe")
  native_path() { wine_path "$1"; }
  ONEWIRE_CONF=$(wine_path "$work/onewire.conf")
  shoot_all "wine-"
fi
