#!/usr/bin/env bash
# Builds the Debian package build-deb/quorna-fobit-reader_<version>-1_<arch>.deb: the program,
# the reader check and the 1-Wire runtime compiled with Debian's hardening flags, packed by
# CPack. Installs what it needs first (the package set of scripts/dependencies.txt, only what is
# missing; as another user than root it names the packages instead); the tests are not built.
# With --check it then runs lintian on the package and validates the desktop entry and the
# AppStream metainfo.
#   scripts/package.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-deb
sets=(package)
[ "${1:-}" != "--check" ] || sets+=(package-check)
bash scripts/install-deps.sh "${sets[@]}"
bash scripts/check-commands.sh "${sets[@]}"

eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
export CXXFLAGS="$CPPFLAGS $CXXFLAGS" CFLAGS="$CPPFLAGS $CFLAGS"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF \
  -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
nice -n 10 cmake --build "$build" -j"$(nproc)" \
  --target quorna-fobit-reader quorna-reader-check onewire quorna_install_files
# A package of an earlier version left there would be taken for this one.
rm -f "$build"/quorna-fobit-reader_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/quorna-fobit-reader_*.deb)
echo "$deb"

if [ "${1:-}" = "--check" ]; then
  desktop-file-validate packaging/linux/*.desktop
  appstreamcli validate --no-net --explain packaging/linux/*.metainfo.xml
  lintian --info "$deb"
fi
