#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs the gateway's main job end to end on a simulated meter, and tells the
# story of it: a simulated meter on a pseudo-terminal, the settings checked,
# the real mevraktd joining it to TCP port 4001, an AMR-side reader fetching
# readings through that port, the daemon's log, its status report, and its
# stop on SIGTERM.
#
# Everything runs inside one mevrakt-sandbox: the daemon finds its settings at
# /opt/mevraKT/etc/settings, makes /var/run/mevraKT.socket and logs to
# /dev/log, yet the host's /opt, /run and /dev/log stay untouched, and the
# sandbox's PID namespace ends whatever is still running when the story ends.
# Works as root and, where user namespaces are allowed, without.
#
#   demo/demo.sh [--no-build] [--build-dir DIR]
#
# Without --no-build it first installs missing Debian packages
# (scripts/setup.sh) and builds the programs it needs into DIR (default build/).
# Exit status 0 when every step went as told, 1 otherwise.
set -eu

PORT=4001
DEMO_RUN=/run/mevrakt-demo  # inside the sandbox: a tmpfs of its own

fail() {
  echo "demo: FAILED: $*" >&2
  exit 1
}

say() {
  printf '%s\n' "$@"
}

# Indents a tool's output under the narration.
quote() {
  sed 's/^./     &/'
}

# shellcheck source=scripts/lib/wait.sh
. "$(dirname "$0")/../scripts/lib/wait.sh"
. "$(dirname "$0")/../scripts/lib/args.sh"

# ---------------------------------------------------------------------------
# Inside the sandbox: the story itself. Runs as root of the sandbox.

log_count() {
  grep -c -- "$1" "$MEVRAKT_SANDBOX_LOG" || true
}

log_has() {
  [ "$(log_count "$1")" -ge "${2:-1}" ]
}

# Prints the syslog lines from line $1 on, as "time  priority  text": the
# "<pri>Mmm dd " prefix and the "mevraKT[pid]: " tag make them hard to read.
show_log() {
  tail -n +"$1" "$MEVRAKT_SANDBOX_LOG" | awk '
    BEGIN { split("emerg alert crit err warning notice info debug", level, " ") }
    match($0, /^<[0-9]+>/) {
      pri = substr($0, 2, RLENGTH - 2) % 8
      rest = substr($0, RLENGTH + 1)
      text = substr(rest, 17)
      sub(/^mevraKT\[[0-9]+\]: /, "", text)
      printf "     %s  %-7s  %s\n", substr(rest, 8, 8), level[pri + 1], text
      next
    }
    { print "     " $0 }'
}

line_ready() {
  [ "$(wc -l <"$DEMO_RUN/sim.out")" -ge 1 ]
}

alive() {
  kill -0 "$1" 2>/dev/null
}

inner() {
  build=$1
  mkdir -p "$DEMO_RUN"
  # The host learns our PID namespace, to check afterwards that nothing of
  # it is left.
  readlink /proc/self/ns/pid 2>/dev/null >&3 || true

  sim_pid=
  daemon_pid=
  trap '[ -z "$daemon_pid" ] || kill -TERM "$daemon_pid" 2>/dev/null || true
        [ -z "$sim_pid" ] || kill -TERM "$sim_pid" 2>/dev/null || true' EXIT

  : >"$DEMO_RUN/sim.out"
  "$build/tools/mevrakt-meter-sim" --stats "$DEMO_RUN/sim.stats" \
    >"$DEMO_RUN/sim.out" 2>"$DEMO_RUN/sim.err" &
  sim_pid=$!
  wait_until 5 line_ready || { cat "$DEMO_RUN/sim.err" >&2; fail "the meter simulator did not start"; }
  dev=$(sed -n 1p "$DEMO_RUN/sim.out")
  say "1. Starting a simulated meter on $dev (mevrakt-meter-sim)." \
      "   While idle it sends ENQ every 200 ms; it answers each good 66-byte" \
      "   command with a 258-byte response." ""

  cat >/opt/mevraKT/etc/settings <<EOF
MOD_MEVRAKT_ENABLED=1
MOD_MEVRAKT_PROT1_ENABLED=1
MOD_MEVRAKT_PROT1_DEVICE="$dev"
MOD_MEVRAKT_PROT1_PORT=$PORT
MOD_MEVRAKT_PROT2_ENABLED=0
MOD_MEVRAKT_PROT2_DEVICE="/dev/ttyS1"
MOD_MEVRAKT_PROT2_PORT=4002
EOF
  say "2. The settings file, /opt/mevraKT/etc/settings:"
  quote </opt/mevraKT/etc/settings
  say "   mevraktd --check reads it as a start would, opening nothing:"
  "$build/daemon/mevraktd" --check >"$DEMO_RUN/check.out" 2>&1 || {
    quote <"$DEMO_RUN/check.out"
    fail "mevraktd --check found fault with the settings"
  }
  quote <"$DEMO_RUN/check.out"
  say "   Starting mevraktd."
  "$build/daemon/mevraktd" &
  daemon_pid=$!
  wait_until 5 started_or_gone "$daemon_pid" || true
  log_has ": shell started" || {
    show_log 1 >&2
    alive "$daemon_pid" || fail "mevraktd ended before its shell started (its log, if any, is above)"
    fail "mevraktd did not start its shell within 5 s (its log, if any, is above)"
  }
  say "   Channel 1 joins the meter on $dev to TCP port $PORT; channel 2 is off." \
      "   mevraktd runs (pid $daemon_pid in the sandbox)." ""

  say "3. Reading the meter through TCP port $PORT, as an AMR head-end does:" \
      "   mevrakt-read 127.0.0.1:$PORT"
  "$build/tools/mevrakt-read" "127.0.0.1:$PORT" >"$DEMO_RUN/read1.out" 2>&1 || {
    quote <"$DEMO_RUN/read1.out"
    fail "the read through TCP port $PORT failed"
  }
  quote <"$DEMO_RUN/read1.out"
  # A head-end that comes back at once may be accepted in the same pass in
  # which the daemon would have seen the first one leave; the new connection
  # then replaces the old unread, and the meter is not disconnected between
  # them. Waiting for the disconnect keeps the story the same on every run.
  wait_for_disconnects 1
  say "   That is the meter's 258-byte response frame, its CRC checked by the" \
      "   daemon and again by mevrakt-read: byte 0 echoes the command code 14," \
      "   bytes 1-4 are the meter number 12345678, bytes 5-10 the meter's clock" \
      "   (hh mm ss dd mm yy), then the simulator's reading counter and four" \
      "   registers; the last two bytes are the CRC-16, low byte first." \
      "" \
      "   Three more readings on a new connection:" \
      "   mevrakt-read --count 3 127.0.0.1:$PORT"
  "$build/tools/mevrakt-read" --count 3 "127.0.0.1:$PORT" >"$DEMO_RUN/read3.out" 2>&1 || {
    quote <"$DEMO_RUN/read3.out"
    fail "the three reads through TCP port $PORT did not all succeed"
  }
  quote <"$DEMO_RUN/read3.out"
  say "   The first read of each connection connects the meter: the daemon" \
      "   releases the break on the line and sends the command at the meter's" \
      "   third ENQ. Each later read waits for the meter's next ENQ, about 200 ms" \
      "   after the last ACK. A real 9600-baud line adds about 0.35 s for the" \
      "   66 + 258 bytes; a pseudo-terminal passes them at once." ""

  # The report below is settled once the second reader's leaving is through.
  wait_for_disconnects 2
  say "4. What the daemon logged (syslog, ident mevraKT):"
  show_log 1
  logged=$(wc -l <"$MEVRAKT_SANDBOX_LOG")
  if log_has "no modem lines on"; then
    say "   \"no modem lines\" says that the pseudo-terminal has no RTS and DTR to" \
        "   set; a serial port has them."
  fi
  say "   Each connection shows the meter's cycle: a command arrives, the daemon" \
      "   releases the break (\"connecting meter\"), the meter's first ENQ makes" \
      "   it connected, and the client's leaving holds the break again" \
      "   (\"disconnecting meter\")." ""

  say "5. mevraktsh status 1:"
  "$build/shell/mevraktsh" status 1 >"$DEMO_RUN/status.out" ||
    fail "mevraktsh status 1 exited with status $?"
  quote <"$DEMO_RUN/status.out"
  ok=$(sed -n 's/^Responses OK *: //p' "$DEMO_RUN/status.out")
  [ "${ok:-0}" -ge 3 ] || fail "the report shows ${ok:-no} good responses, not at least 3"
  [ "$(grep -cE '^(Commands|Responses) failed *: 0$' "$DEMO_RUN/status.out")" -eq 2 ] ||
    fail "the report counts failed commands or responses"
  say "   Every reading came back: $ok good responses, no failed command or" \
      "   response." ""

  say "6. Stopping mevraktd with SIGTERM ..."
  kill -TERM "$daemon_pid"
  # A daemon that does not stop is killed after 5 s, and the story fails.
  (sleep 5 && kill -KILL "$daemon_pid" 2>/dev/null) &
  watchdog=$!
  status=0
  wait "$daemon_pid" || status=$?
  daemon_pid=
  kill "$watchdog" 2>/dev/null || true
  [ "$status" -ne 137 ] || fail "mevraktd did not stop within 5 s of SIGTERM"
  wait_until 5 log_has ": stopped$" || fail "mevraktd did not log \"stopped\""
  show_log $((logged + 1))
  [ "$status" -eq 0 ] || fail "mevraktd exited with status $status"
  [ ! -e /var/run/mevraKT.socket ] || fail "/var/run/mevraKT.socket is still there"
  say "   mevraktd exited with status 0 and removed /var/run/mevraKT.socket."

  kill -TERM "$sim_pid"
  wait "$sim_pid" || true
  sim_pid=
  good=$(sed -n 's/^commands_good=//p' "$DEMO_RUN/sim.stats")
  acked=$(sed -n 's/^responses_good_acked=//p' "$DEMO_RUN/sim.stats")
  say "   The simulated meter received $good good commands and got an ACK for" \
      "   $acked responses."
}

# Waits until the daemon has disconnected the meter $1 times in all.
wait_for_disconnects() {
  wait_until 5 log_has ": disconnecting meter on $dev" "$1" || {
    show_log 1 >&2
    fail "mevraktd did not disconnect the meter after the reader left (its log is above)"
  }
}

started_or_gone() {
  log_has ": shell started" || ! alive "$1"
}

# ---------------------------------------------------------------------------
# Outside: build, run the story in the sandbox, check that nothing is left.

# What of ours could outlive the run on the host: the fixed paths, and mounts
# on the folders the sandbox replaces.
host_traces() {
  for path in /opt/mevraKT /var/run/mevraKT.socket /run/mevrakt-sandbox.log "$DEMO_RUN"; do
    [ ! -e "$path" ] || echo "file $path"
  done
  awk '$2 ~ /^\/(opt|run|var\/run|dev)(\/|$)/ { print "mount " $2 }' /proc/self/mounts
}

build_programs() {
  build=$1
  scripts/setup.sh
  ! grep -q '^MEVRAKT_TESTS:BOOL=OFF$' "$build/CMakeCache.txt" 2>/dev/null ||
    fail "$build was configured with -DMEVRAKT_TESTS=OFF, which leaves out the sandbox; use another --build-dir"
  buildlog="$build/demo-build.log"
  mkdir -p "$build"
  say "Building the programs into $build (output in $buildlog) ..."
  {
    [ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DMEVRAKT_WERROR=ON
    cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target \
      mevraktd mevraktsh mevrakt-meter-sim mevrakt-read mevrakt-sandbox
  } >"$buildlog" 2>&1 || {
    tail -n 30 "$buildlog" >&2
    fail "the build failed (the end of $buildlog is above)"
  }
  say ""
}

outer() {
  build=build
  do_build=1
  while [ $# -gt 0 ]; do
    case $1 in
      --no-build) do_build=0 ;;
      --build-dir)
        [ $# -ge 2 ] || fail "--build-dir needs a folder"
        build=$2
        shift
        ;;
      -h | --help)
        script_help
        exit 0
        ;;
      *) fail "unknown option $1 (see demo/demo.sh --help)" ;;
    esac
    shift
  done

  say "mevraKT demo: one meter read through the gateway, start to stop. It all" \
      "runs in a sandbox with its own /opt, /run, /dev/log, processes and network." ""
  [ "$do_build" -eq 0 ] || build_programs "$build"
  [ -d "$build" ] || fail "no build folder $build; run without --no-build"
  build=$(cd "$build" && pwd)
  # The sandbox lays its own /opt, /run and /dev over the host's; a tree
  # below them would vanish from the story's sight.
  for dir in "$(pwd)" "$build"; do
    case "$dir/" in
      /opt/* | /run/* | /var/run/* | /dev/*)
        fail "$dir lies under a folder the sandbox replaces; clone the project elsewhere" ;;
    esac
  done
  for program in daemon/mevraktd shell/mevraktsh tools/mevrakt-meter-sim tools/mevrakt-read \
    sandbox/mevrakt-sandbox; do
    [ -x "$build/$program" ] || fail "$build/$program is missing; run without --no-build"
  done

  before=$(host_traces)
  nsfile=$(mktemp)
  status=0
  "$build/sandbox/mevrakt-sandbox" -- /bin/sh "$(pwd)/demo/demo.sh" --inner "$build" \
    3>"$nsfile" || status=$?
  ns=$(cat "$nsfile")
  rm -f "$nsfile"
  if [ "$status" -eq 125 ]; then
    fail "the sandbox could not be set up (see its message above); without root it needs unprivileged user namespaces"
  fi
  # 1 is a failure the story has told already.
  [ "$status" -eq 0 ] || [ "$status" -eq 1 ] || fail "the story stopped early (exit status $status)"
  [ "$status" -eq 0 ] || exit 1

  left=""
  if [ -n "$ns" ]; then
    for dir in /proc/[0-9]*; do
      [ "$(readlink "$dir/ns/pid" 2>/dev/null)" != "$ns" ] || left="$left ${dir#/proc/}"
    done
  fi
  [ -z "$left" ] || fail "processes of the sandbox are still running:$left"
  after=$(host_traces)
  [ "$before" = "$after" ] || fail "the host changed: before: [$before] after: [$after]"
  say "" "Done. The sandbox has ended, and with it the simulator, its pseudo-terminal," \
      "the settings file, the socket and the log. Checked from outside: no process" \
      "of the sandbox is left; the host's /opt, /run and mounts are as they were."
}

cd "$(dirname "$0")/.."
if [ "${1:-}" = "--inner" ]; then
  [ -n "${MEVRAKT_SANDBOX_LOG:-}" ] || fail "--inner runs only inside mevrakt-sandbox"
  inner "$2"
else
  outer "$@"
fi
