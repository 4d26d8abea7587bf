#!/bin/sh
# Builds the runtime's libFuzzer targets with clang and runs each for a bounded time.
#   onewire/fuzz/run-fuzz.sh [BUILD_FOLDER] [SECONDS_EACH]
# Defaults: build/onewire-fuzz, 60 seconds. Needs clang and libclang-rt (Debian: clang,
# libclang-rt-14-dev). Findings are written to BUILD_FOLDER/findings; the script fails on any.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
source_root=$(cd "$here/../.." && pwd)
out=${1:-$source_root/build/onewire-fuzz}
seconds=${2:-60}
cxx=${CXX:-clang++}
case "$cxx" in *clang*) ;; *) cxx=clang++ ;; esac
mkdir -p "$out/findings"

# The POSIX platform source names the kernel bus backend, hence W1Bus.cpp and its netlink client.
common="$source_root/onewire/RomCode.cpp $source_root/onewire/Reporter.cpp $source_root/onewire/TextFile.cpp
  $source_root/onewire/PlatformPosix.cpp $source_root/onewire/W1Bus.cpp $source_root/onewire/W1Netlink.cpp"
flags="-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined -I$source_root"

build() {
    name=$1
    shift
    if [ ! -x "$out/$name" ] || [ -n "$(find "$here" "$source_root/onewire" -maxdepth 1 -newer "$out/$name" -name '*.[ch]*' 2>/dev/null)" ]; then
        echo "building $name"
        # shellcheck disable=SC2086
        nice "$cxx" $flags -o "$out/$name" "$here/$name.cpp" "$@" $common
    fi
}

build fuzz_owserver_reply "$source_root/onewire/OwserverProtocol.cpp"
build fuzz_settings "$source_root/onewire/Settings.cpp" "$source_root/onewire/VirtualReader.cpp"
build fuzz_w1_reply

for name in fuzz_owserver_reply fuzz_settings fuzz_w1_reply; do
    corpus="$out/corpus-$name"
    mkdir -p "$corpus"
    echo "running $name for $seconds s"
    (cd "$out/findings" && nice "$out/$name" -max_total_time="$seconds" -max_len=4096 \
        -timeout=5 -rss_limit_mb=1024 -print_final_stats=1 "$corpus" "$here/seeds/$name") \
        >"$out/$name.log" 2>&1 || {
        tail -40 "$out/$name.log"
        echo "$name: finding, see $out/findings and $out/$name.log"
        exit 1
    }
    grep -E '^stat::number_of_executed_units' "$out/$name.log" || true
done
echo "fuzzing done, no findings"
