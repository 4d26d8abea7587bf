#!/usr/bin/env bash
# Checks that every command scripts/dependencies.txt lists for the sets named (and the base set)
# is found, and names each one that is not, with its package and what needs it:
#   check-commands.sh [test]   the test command's (the default)
#   check-commands.sh run      the run command's
set -euo pipefail
source "$(dirname "$0")/dependencies.sh"
[ $# -gt 0 ] || set -- test
# shellcheck disable=SC2046
require_commands $(dependency_rows base "$@" | awk -F'\t' '$1 != "-" { gsub(",", " ", $1); print $1 }')
