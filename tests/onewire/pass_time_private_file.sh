#!/bin/sh
# The pass-timing tool keeps its settings in a private file of its own: a link planted in the
# shared temporary folder under a name it might use is never written through.
set -eu
tool=$1
dir=$(mktemp -d)
planted=/tmp/onewire-pass-time.conf
cleanup() {
    rm -rf "$dir"
    if [ -L "$planted" ] && [ "$(readlink "$planted")" = "$dir/victim" ]; then rm -f "$planted"; fi
}
trap cleanup EXIT
echo precious >"$dir/victim"
ln -s "$dir/victim" "$planted" 2>/dev/null || { echo "SKIP: $planted is taken"; exit 77; }
echo 021CB801000000A2 >"$dir/reader.txt"
mkdir "$dir/tmp"
out=$(TMPDIR="$dir/tmp" "$tool" virtual "$dir/reader.txt")
echo "$out"
case "$out" in *": 1 devices;"*) ;; *) echo "FAIL: the tool did not read the reader"; exit 1 ;; esac
[ "$(cat "$dir/victim")" = precious ] || { echo "FAIL: written through the planted link"; exit 1; }
[ -z "$(ls -A "$dir/tmp")" ] || { echo "FAIL: left files behind in TMPDIR"; exit 1; }
echo ok
