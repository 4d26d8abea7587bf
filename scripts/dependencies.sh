# Sourced by install-deps.sh and check-commands.sh: reads scripts/dependencies.txt.

dependency_list=$(dirname "${BASH_SOURCE[0]}")/dependencies.txt

# The sets a name stands for: every build needs build; run adds headless where there is no
# display; package adds run (Qt); test adds every other set but the developers' own, and test32
# where this host runs 32-bit programs.
expand_sets() {
  local name
  for name in "$@"; do
    case "$name" in
      run)
        echo build run
        [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] || echo headless
        ;;
      package) echo build run package ;;
      windows) echo build windows ;;
      test)
        echo build run headless package windows test
        bash "$(dirname "${BASH_SOURCE[0]}")/host-runs-32bit.sh" && echo test32
        ;;
      *) echo "$name" ;;
    esac
  done | tr ' ' '\n' | sort -u
}

# The rows of these sets: commands, package, set, what needs it (tab-separated).
dependency_rows() {
  local sets
  sets=$(expand_sets "$@" | tr '\n' ' ')
  awk -v sets=" $sets " '
    /^[[:space:]]*(#|$)/ { next }
    index(sets, " " $3 " ") {
      what = $4
      for (i = 5; i <= NF; i++) what = what " " $i
      printf "%s\t%s\t%s\t%s\n", $1, $2, $3, what
    }' "$dependency_list"
}

# The line that reports a missing command, with its package and what needs it.
missing_command() {
  awk -v command="$1" '
    /^[[:space:]]*(#|$)/ { next }
    {
      n = split($1, names, ",")
      for (i = 1; i <= n; i++) if (names[i] == command) {
        what = $4
        for (j = 5; j <= NF; j++) what = what " " $j
        printf "missing command %s (package %s, for %s): run scripts/install-deps.sh\n", command, $2, what
        found = 1
        exit
      }
    }
    END { if (!found) printf "missing command %s (not in scripts/dependencies.txt)\n", command }
  ' "$dependency_list"
}

# Fails naming every command given that is not found.
require_commands() {
  local command status=0
  for command in "$@"; do
    command -v "$command" >/dev/null 2>&1 || { missing_command "$command" >&2; status=1; }
  done
  return $status
}
