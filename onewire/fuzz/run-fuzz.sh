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
flags="-std=c++20 -O1 -g -fsanitize=address,undefined -fno-sanitize-recover=undefined -I$source_root"

# Each source compiled once for the three targets, two at a time; all again whenever a source
# or header here is newer than a target.
objects="$out/objects"
stale=
for name in fuzz_owserver_reply fuzz_settings fuzz_w1_reply; do
    if [ ! -x "$out/$name" ] || [ -n "$(find "$here" "$source_root/onewire" -maxdepth 1 -newer "$out/$name" -name '*.[ch]*' 2>/dev/null)" ]; then
        stale=yes
    fi
done
if [ -n "$stale" ]; then
    echo "building the fuzz targets"
    rm -rf "$objects"
    mkdir -p "$objects"
    pids=
    for source in $common "$source_root/onewire/OwserverProtocol.cpp" \
        "$source_root/onewire/Settings.cpp" "$source_root/onewire/VirtualReader.cpp" \
        "$here/fuzz_owserver_reply.cpp" "$here/fuzz_settings.cpp" "$here/fuzz_w1_reply.cpp"; do
        # shellcheck disable=SC2086
        nice "$cxx" $flags -fsanitize=fuzzer-no-link -c -o "$objects/$(basename "$source" .cpp).o" \
            "$source" &
        pids="$pids $!"
        # Two at a time: the tests beside this one keep their share of the processors.
        if [ "$(echo $pids | wc -w)" -ge 2 ]; then
            for pid in $pids; do
                wait "$pid"
            done
            pids=
        fi
    done
    for pid in $pids; do
        wait "$pid"
    done
    shared=
    for source in $common; do
        shared="$shared $objects/$(basename "$source" .cpp).o"
    done
    link() {
        name=$1
        shift
        # shellcheck disable=SC2086
        nice "$cxx" $flags -fsanitize=fuzzer -o "$out/$name" "$objects/$name.o" "$@" $shared
    }
    link fuzz_owserver_reply "$objects/OwserverProtocol.o"
    link fuzz_settings "$objects/Settings.o" "$objects/VirtualReader.o"
    link fuzz_w1_reply
fi

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
