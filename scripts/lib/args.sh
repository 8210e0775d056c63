# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# How the scripts answer their arguments; sourced, never run.

# Prints the running script's opening comment, the licence line left out:
# its help.
script_help() {
  sed -n '2,/^set -eu/p' "$0" | sed '/^# SPDX-License-Identifier:/d; $d; s/^# \{0,1\}//'
}

# For a script that takes no argument: -h or --help prints its help and
# ends it, anything else is a usage error (status 2).
no_arguments() {
  case "${1:-}" in
    "") ;;
    -h | --help)
      script_help
      exit 0
      ;;
    *)
      echo "usage: $0" >&2
      exit 2
      ;;
  esac
}
