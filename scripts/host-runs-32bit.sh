#!/usr/bin/env bash
# Exits 0 when this host runs 32-bit x86 programs, 1 when it refuses them (a kernel with IA-32
# emulation off answers "Exec format error"). Needs no 32-bit package: it writes and runs a
# 93-byte static ELF whose only instruction sequence is the exit system call through int 0x80.
set -u
probe=$(mktemp "${TMPDIR:-/tmp}/runs32.XXXXXX") || exit 1
trap 'rm -f "$probe"' EXIT
# ELF header (52 bytes), one loadable segment at 0x08048000 (32 bytes), then
#   mov eax, 1 ; xor ebx, ebx ; int 0x80
printf '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00'\
'\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00'\
'\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00'\
'\x00\x00\x00\x00'\
'\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08'\
'\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00'\
'\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
chmod 700 "$probe"
"$probe" 2>/dev/null
