#!/usr/bin/env bash
# Puts Debian 12's own kernel (the image package linux-image-amd64 depends on) into a cache for
# the VM tests (tests/vm): downloaded with apt-get download, unpacked with dpkg-deb -x, modules
# indexed with depmod -b. Never installed. Nothing to do when the cache already holds it.
#   fetch-vm-kernel.sh [CACHE]    (default: $QUORNA_VM_CACHE, else /var/cache/quorna-fobit-reader/vm)
# The cache then holds CACHE/current -> linux-image-VERSION with boot/vmlinuz-VERSION and
# lib/modules/VERSION, and CACHE/current/version.
set -euo pipefail
cache=${1:-${QUORNA_VM_CACHE:-/var/cache/quorna-fobit-reader/vm}}

image_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9]/ { print $2; exit }'
}
package=$(image_package)
if [ -z "$package" ]; then
  apt-get update -qq
  package=$(image_package)
fi
if [ -z "$package" ]; then
  echo "fetch-vm-kernel: apt knows no image package behind linux-image-amd64" >&2
  exit 1
fi
version=${package#linux-image-}
if [ -f "$cache/$package/version" ]; then
  ln -sfn "$package" "$cache/current"
  exit 0
fi

mkdir -p "$cache"
work=$(mktemp -d "$cache/.fetch.XXXXXX")
chmod 755 "$work"  # apt-get download works as its own user
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get download -qq "$package")
dpkg-deb -x "$work"/"$package"_*.deb "$work/tree"
# The modules come plain or compressed; depmod indexes them either way.
depmod -b "$work/tree" "$version"
echo "$version" >"$work/tree/version"
rm -rf "${cache:?}/$package"
mv "$work/tree" "$cache/$package"
ln -sfn "$package" "$cache/current"
echo "VM kernel $version in $cache/$package"
