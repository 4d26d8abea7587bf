#!/usr/bin/env bash
# Builds the Windows installer and zip from a Windows build folder:
#   BUILD_DIR/quorna-fobit-reader-<version>-setup.exe   NSIS installer (silent with /S)
#   BUILD_DIR/quorna-fobit-reader-<version>-win32.zip   the same files, to run unpacked
# (-win64 for a 64-bit build: the architecture is read from the program itself).
#   scripts/package-windows.sh [BUILD_DIR]   (default build-mingw)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build-mingw}")
version=1.3.17
for file in quorna-fobit-reader.exe onewire.dll quorna-reader-check.exe quorna-settings-folder.exe; do
  [ -f "$build/$file" ] || { echo "no $build/$file: build the Windows program first" >&2; exit 1; }
done

defines=()
case "$(objdump -f "$build/quorna-fobit-reader.exe")" in
  *pei-x86-64*) arch=win64; strip=x86_64-w64-mingw32-strip; defines+=(-DWIN64) ;;
  *pei-i386*) arch=win32; strip=i686-w64-mingw32-strip ;;
  *) echo "$build/quorna-fobit-reader.exe is not a Windows program" >&2; exit 1 ;;
esac

# The shipped files, stripped of their symbol tables: the installer and the zip hold the same.
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
folder="$stage/Quorna Fobit Reader"
mkdir "$folder"
for file in quorna-fobit-reader.exe onewire.dll quorna-reader-check.exe; do
  "$strip" --strip-unneeded -o "$folder/$file" "$build/$file"
done
cp packaging/windows/onewire.conf "$folder/"
# The installer's own helper (it runs it, it does not install it): beside the shipped files.
mkdir "$stage/helper"
"$strip" --strip-unneeded -o "$stage/helper/quorna-settings-folder.exe" \
  "$build/quorna-settings-folder.exe"
# The guide: the README and every document it links to, laid out as in the tree.
mkdir "$folder/docs"
cp README.md "$folder/"
cp docs/readers.md docs/troubleshooting.md docs/windows.md docs/performance.md docs/development.md \
  docs/main-window.png "$folder/docs/"

setup=$build/quorna-fobit-reader-$version-setup.exe
[ "$arch" = win64 ] && setup=$build/quorna-fobit-reader-$version-win64-setup.exe
makensis -V2 -NOCD "${defines[@]}" -DBUILD_DIR="$folder" -DHELPER_DIR="$stage/helper" \
  -DOUT_FILE="$setup" \
  packaging/windows/installer.nsi
echo "$setup"

zip=$build/quorna-fobit-reader-$version-$arch.zip
rm -f "$zip"
(cd "$stage" && zip -qrX "$zip" "Quorna Fobit Reader")
echo "$zip"
