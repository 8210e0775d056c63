# Shell functions the tools' scripts share; sourced, never run.

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
