# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# Shell functions the scripts share, for waiting on things and ending the
# processes they started; sourced, never run.

# Polls every 0.1 s until the command succeeds, for at most $1 seconds.
wait_until() {
  tries=$(($1 * 10))
  shift
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

now() {
  date +%s.%N
}

# Seconds from $1 to $2 (default now), one decimal.
since() {
  awk -v a="$1" -v b="${2:-$(now)}" 'BEGIN { printf "%.1f", b - a }'
}

# True once process $1 has ended (a zombie not yet waited for counts).
gone() {
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d ' ' -f 1) || return 0
  [ -z "$state" ] || [ "$state" = Z ]
}

# Ends process $1 if it still runs: SIGTERM, then SIGKILL after 5 s.
end_process() {
  [ -n "$1" ] || return 0
  if ! gone "$1"; then
    kill -TERM "$1" 2>/dev/null || true
    wait_until 5 gone "$1" || kill -KILL "$1" 2>/dev/null || true
  fi
  wait "$1" 2>/dev/null || true
}
