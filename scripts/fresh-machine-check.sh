#!/usr/bin/env bash
# Rehearses the README's commands on a new machine: builds a minimal Debian 12 root with
# mmdebstrap from the package archive this machine uses, copies the committed tree
# (`git archive HEAD`) into it, mounts what the tests need, and runs the commands there by chroot
# as root with a bare environment, printing each line of their output with the time since they
# started, then how long each took and whether it passed. Cleans up even when interrupted.
#   scripts/fresh-machine-check.sh [run] [package] [windows] [test]   (default: test)
# run is the run command (there, without a display, it saves screenshots); package builds the
# Debian package, installs it with apt, runs the installed reader check on a demo reader and
# purges the package again; windows builds the Windows program, its installer and zip; test is the
# test command. Each is the README's own lines, run in order; the first that fails ends it.
# Run it as root before submitting a change to the dependencies, the install steps or the tools
# the tests use. Takes 15 to 25 minutes on 2 cores; not part of the test command.
set -euo pipefail

# All of it in one function, read whole before it runs: editing this file during a run (a
# rehearsal takes a while) cannot change what the run does.
main() {
  cd "$(dirname "$0")/.."
  [ $# -gt 0 ] || set -- test
  for command in "$@"; do
    case "$command" in
      run | package | windows | test) ;;
      *) echo "usage: $0 [run] [package] [windows] [test]" >&2; exit 64 ;;
    esac
  done
  [ "$(id -u)" = 0 ] || { echo "$0: run as root (mmdebstrap and chroot)" >&2; exit 1; }
  bash scripts/install-deps.sh rehearsal
  bash scripts/check-commands.sh rehearsal

  root=$(mktemp -d /var/tmp/quorna-fresh-root.XXXXXX)
  mounted=()
  cleanup() {
    trap - EXIT INT TERM
    # Whatever still runs inside the root (a test's server, wine), then the mounts, innermost first.
    local proc
    for proc in /proc/[0-9]*; do
      [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ] && kill -9 "${proc#/proc/}" 2>/dev/null
    done
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
      umount "${mounted[i]}" 2>/dev/null || umount -l "${mounted[i]}" 2>/dev/null || true
    done
    # Never delete through a mount that is still there: that would reach the machine's own /dev.
    if grep -q " $root/" /proc/self/mounts; then
      echo "fresh-machine-check: $root still has mounts; left in place" >&2
    else
      rm -rf "$root"
    fi
  }
  trap cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM

  started=$SECONDS
  echo "== building a minimal Debian 12 root in $root"
  # The same archive as this machine's apt, from its own sources files.
  sources=()
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.sources /etc/apt/sources.list.d/*.list; do
    [ -s "$file" ] && grep -q 'debian' "$file" && sources+=("$file")
  done
  mmdebstrap --quiet --mode=root --variant=minbase --include=ca-certificates bookworm "$root" \
    "${sources[@]}"
  # What every installed Debian machine has and a bare root lacks: name resolution for the
  # machine itself and the archive.
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
  # The user's answer to apt's "Do you want to continue?" when pasting the README's apt line.
  echo 'APT::Get::Assume-Yes "true";' >"$root/etc/apt/apt.conf.d/90rehearsal-answers-yes"
  echo "   root made in $((SECONDS - started)) s"

  mount_into() {  # type-or-bind source target [options]
    mkdir -p "$root$3"
    if [ "$1" = bind ]; then
      mount --bind "$2" "$root$3"
    else
      mount -t "$1" ${4:+-o "$4"} "$2" "$root$3"
    fi
    mounted+=("$root$3")
  }
  mount_into proc proc /proc
  mount_into bind /sys /sys
  mount_into bind /dev /dev
  mount_into bind /dev/pts /dev/pts
  mount_into tmpfs tmpfs /dev/shm mode=1777
  mount_into tmpfs tmpfs /tmp mode=1777

  commit=$(git rev-parse --short HEAD)
  git archive --prefix=quorna/ "$commit" | tar -x -C "$root/root"
  echo "== the committed tree ($commit) is in /root/quorna"

  # Each command's lines, as the README and docs give them (tests/docs/commands.py checks that
  # every command block of theirs that runs a script is one of these lines or run by one).
  declare -A lines=(
    [run]='bash scripts/run-demo.sh'
    [package]='bash scripts/package.sh
apt install ./build-deb/quorna-fobit-reader_1.3.17-1_amd64.deb
mkdir -p /tmp/quorna-check && echo 021CB801000000A2 >/tmp/quorna-check/reader.txt
printf "default = usb 1\nusb 1 = virtual reader.txt\n" >/tmp/quorna-check/onewire.conf
ONEWIRE_CONF=/tmp/quorna-check/onewire.conf quorna-reader-check | tee /tmp/quorna-check/report
grep -q "^ *021CB801000000A2" /tmp/quorna-check/report
apt purge quorna-fobit-reader'
    [windows]='bash scripts/build-windows.sh
ls -l build-mingw/quorna-fobit-reader-1.3.17-setup.exe build-mingw/quorna-fobit-reader-1.3.17-win32.zip'
    [test]='bash scripts/test-all.sh'
  )
  declare -A took verdict
  status=0
  for command in "$@"; do
    echo "== the README's $command command, as on a new machine"
    # Each line shown as it starts, then run; the first that fails ends the command.
    body="set -eo pipefail; cd /root/quorna"
    while IFS= read -r line; do
      body+=$'\n'"echo $(printf '%q' "\$ $line")"$'\n'"$line"
    done <<<"${lines[$command]}"
    began=$SECONDS
    set +e
    chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      HOME=/root LANG=C.UTF-8 CI=true /bin/bash -c "$body" 2>&1 |
      while IFS= read -r line; do
        printf '[%3d:%02d] %s\n' $(((SECONDS - began) / 60)) $(((SECONDS - began) % 60)) "$line"
      done
    result=${PIPESTATUS[0]}
    set -e
    took[$command]=$((SECONDS - began))
    verdict[$command]=$([ "$result" = 0 ] && echo passed || echo "FAILED (exit $result)")
    [ "$result" = 0 ] || status=1
  done

  echo "== fresh-machine check of $commit"
  for command in "$@"; do
    printf '   %-7s command: %s in %d min %02d s\n' "$command" "${verdict[$command]}" \
      $((took[$command] / 60)) $((took[$command] % 60))
  done
  echo "   in all $(((SECONDS - started) / 60)) min $(((SECONDS - started) % 60)) s, with the root"
  exit $status
}

main "$@"
exit
