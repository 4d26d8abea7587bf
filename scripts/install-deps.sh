#!/usr/bin/env bash
# Installs what building, running and testing need on Debian 12 (run as root). Skips apt when
# everything is there already.
set -euo pipefail
packages=(
  build-essential cmake pkg-config          # compiler and build
  ninja-build                               # the sanitizer build (scripts/test-sanitizers.sh)
  qt6-base-dev                              # the Qt 6 Widgets front-end
  libxcb1-dev                               # a second start gives the running window the focus
  libgtest-dev libbenchmark-dev             # tests and benchmarks
  g++-mingw-w64-i686                        # the 32-bit Windows program and onewire.dll
  g++-mingw-w64-x86-64 wine64               # the 64-bit Windows test build, run under wine64
  fonts-wine                                # Tahoma-compatible face for the window texts
  fonts-liberation                          # Courier New-compatible face for the ID list
  xvfb xauth xdotool xclip x11-utils        # end-to-end tests under a virtual X server
  libx11-6 libxfixes3 libxtst6              # the operator benchmark's X client (bench/)
  imagemagick                               # screenshots of the windows
  owserver libownet-dev                     # the owserver backend and its tests
  clang libclang-rt-14-dev                  # libFuzzer targets
  python3                                   # resource generators
  ow-shell                                  # owread, to check owserver's own addresses in tests
  dpkg-dev                                  # the Debian package: shared-library dependencies
  nsis zip                                  # the Windows installer and zip
  sway wtype wl-clipboard foot qt6-wayland  # the Wayland test under headless sway
  at-spi2-core python3-pyatspi dbus         # the accessibility test: AT-SPI buses, its client
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# wine32 runs the 32-bit Windows build itself, but only on hosts that run 32-bit programs at all
# (some kernels have IA-32 emulation off); elsewhere its tests are reported as skipped.
if bash "$(dirname "$0")/host-runs-32bit.sh" &&
  ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q 'install ok installed'; then
  echo "Installing: wine wine32:i386"
  dpkg --add-architecture i386
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends wine wine32:i386
fi
