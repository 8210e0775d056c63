#!/bin/bash
# SPDX-License-Identifier: MIT
# The measuring half of bench/run.sh, run by it inside mevrakt-sandbox: the
# daemon's settings file, its shell socket, its /dev/log and the TCP ports are
# the sandbox's own, and whatever is left running dies with the sandbox.
#
#   bench/measure.sh OUT BUILD READS LINE_READS IDLE_S [cpu]
#
# With "cpu", only the daemon's reads on a pty, for its CPU per read.
#
# Writes into OUT: rtt-MODE.csv (one round trip in ms per read) and results
# (key=value lines). Every round trip is timed by the AMR side, from sending
# the command to reading the response's last byte, against
# mevrakt-meter-sim on a pty of its own:
#   direct    mevrakt-read --serial on the pty, doing ENQ pacing and ACK
#   mevraktd  the daemon on the pty, mevrakt-bench-client on its TCP port
#   socat, ser2net, ser2net-tuned   a transparent relay between a TCP port
#             and the pty, mevrakt-read --pace through it
# The meter answers 1 ms after a command (--turnaround 1) and sends ENQ every
# 10 ms while idle. Every reader sends its command as soon as the meter is
# ready, so no round trip holds an ENQ wait: the protocol readers wait for an
# ENQ before they start the clock, and the daemon's client pauses 15 ms after
# each response so that its command meets an ENQ the daemon saw at most 11 ms
# ago, which the daemon answers at once.
# Then the daemon idle in four states, and its memory with two channels.
# CPU time is the sum of schedstat over the threads in /proc/PID/task, in ns;
# wake-ups are the threads' voluntary and involuntary context switches.
set -euo pipefail

out=$1 build=$2 reads=$3 line_reads=$4 idle_s=$5 only=${6:-}
readonly WARMUP=5 ENQ_MS=10 TURNAROUND_MS=1 GAP_MS=15 IDLE_ENQ_MS=150
readonly SIM=$build/tools/mevrakt-meter-sim READ=$build/tools/mevrakt-read
readonly CLIENT=$build/bench/mevrakt-bench-client
readonly DAEMON=$build/daemon/mevraktd
readonly LOG=$MEVRAKT_SANDBOX_LOG SETTINGS=/opt/mevraKT/etc/settings
readonly PORT=4001 PORT2=4002 RELAY_PORT=4101

result() { echo "$1=$2" >>"$out/results"; }
say() { echo "bench: $*" >&2; }

# Polls a condition every 20 ms for up to 10 s.
wait_until() {
  local what=$1 i
  shift
  for ((i = 0; i < 500; i++)); do
    "$@" && return 0
    sleep 0.02
  done
  say "gave up waiting for $what"
  exit 1
}

has_lines() { [ -f "$1" ] && [ "$(wc -l <"$1")" -ge "$2" ]; }
listening() { awk -v port=":$(printf %04X "$1")" '$2 ~ port "$" && $4 == "0A" {found = 1} END {exit !found}' /proc/net/tcp; }
cpu_ns() { cat /proc/"$1"/task/*/schedstat | awk '{ns += $1} END {print ns}'; }
switches() { awk '/ctxt_switches/ {n += $2} END {print n}' /proc/"$1"/task/*/status; }

# Starts a simulated meter; sets sim_pid and sim_path.
sim_start() {
  local name=$1
  shift
  "$SIM" --stats "$out/sim-$name.stats" "$@" >"$out/sim-$name.path" &
  sim_pid=$!
  wait_until "the simulator's pty" has_lines "$out/sim-$name.path" 1
  sim_path=$(head -n 1 "$out/sim-$name.path")
}

# SIGTERM, then SIGKILL if it is still there after 5 s.
stop() {
  local i
  kill "$1" 2>/dev/null || true
  for ((i = 0; i < 250; i++)); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.02
  done
  kill -KILL "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

logged_since_start() { tail -n +"$((log_mark + 1))" "$LOG" | grep -qF "$1"; }

# Starts mevraktd on the settings given as channels "DEVICE PORT" (an
# empty DEVICE disables that channel); sets daemon_pid. Returns once the
# shell listens, that is once every channel is open.
daemon_start() {
  local n=1 channel device port
  : >"$SETTINGS"
  for channel in "$@"; do
    read -r device port <<<"$channel"
    printf 'MOD_MEVRAKT_PROT%d_ENABLED=%d\nMOD_MEVRAKT_PROT%d_DEVICE="%s"\nMOD_MEVRAKT_PROT%d_PORT=%s\n' \
      "$n" "$([ -n "$port" ] && echo 1 || echo 0)" "$n" "$device" "$n" "${port:-0}" >>"$SETTINGS"
    n=$((n + 1))
  done
  log_mark=$(wc -l <"$LOG")
  "$DAEMON" &
  daemon_pid=$!
  wait_until "mevraktd's shell" logged_since_start "shell started"
}

# Reads the result of a reader's run: its exit status and how many reads came
# back good.
check_reads() {
  local mode=$1 status=$2 want=$3 got
  got=$(wc -l <"$out/rtt-$mode.csv")
  result "$mode.ok" "$got"
  if [ "$status" -ne 0 ] || [ "$got" -ne "$want" ]; then
    say "$mode: $got of $want reads good (exit status $status)"
  fi
}

sim_counters() {
  local name=$1 mode=$2 key
  for key in enq_sent commands_good responses_unanswered; do
    result "$mode.sim_$key" "$(sed -n "s/^$key=//p" "$out/sim-$name.stats")"
  done
}

# CPU time and wake-ups of a process over a stretch of time.
sample_start() {
  sample_cpu=$(cpu_ns "$1")
  sample_switches=$(switches "$1")
}

sample_end() {
  result "$2.cpu_ns" "$(($(cpu_ns "$1") - sample_cpu))"
  result "$2.switches" "$(($(switches "$1") - sample_switches))"
}

# Latency of one mode; SPEED is "pty" or "line", COUNT the reads to keep.
latency() {
  local mode=$1 speed=$2 count=$3 total=$(($3 + WARMUP)) status=0 relay_pid=0
  local name=$mode-$speed sim_opts=(--enq-ms "$ENQ_MS" --turnaround "$TURNAROUND_MS")
  [ "$speed" = line ] && sim_opts+=(--line-speed)
  say "$name: $count reads"
  sim_start "$name" "${sim_opts[@]}"
  case $mode in
  direct)
    "$READ" --serial "$sim_path" --count "$total" --csv >"$out/rtt-$name.all" 2>"$out/$name.err" || status=$?
    ;;
  mevraktd)
    daemon_start "$sim_path $PORT"
    sample_start "$daemon_pid"
    "$CLIENT" --count "$total" --gap-ms "$GAP_MS" "$PORT" >"$out/rtt-$name.all" 2>"$out/$name.err" || status=$?
    sample_end "$daemon_pid" "$name"
    stop "$daemon_pid"
    ;;
  socat | ser2net | ser2net-tuned)
    if [ "$mode" = socat ]; then
      # -t: linger after the client leaves, long enough to read its CPU time.
      socat -t 5 TCP-LISTEN:"$RELAY_PORT",bind=127.0.0.1,reuseaddr,nodelay FILE:"$sim_path",raw,echo=0 &
    else
      {
        echo "connection: &bench"
        if [ "$mode" = ser2net ]; then
          echo "  accepter: tcp,127.0.0.1,$RELAY_PORT"
        else
          echo "  accepter: tcp(nodelay),127.0.0.1,$RELAY_PORT"
          printf '  options:\n    chardelay: false\n'
        fi
        echo "  connector: serialdev,$sim_path,9600n81,local"
      } >"$out/ser2net.yaml"
      ser2net -n -u -c "$out/ser2net.yaml" -P "$out/ser2net.pid" 2>"$out/ser2net.err" &
    fi
    relay_pid=$!
    wait_until "$mode to listen" listening "$RELAY_PORT"
    sample_start "$relay_pid"
    "$READ" --pace --count "$total" --csv 127.0.0.1:"$RELAY_PORT" >"$out/rtt-$name.all" 2>"$out/$name.err" ||
      status=$?
    sample_end "$relay_pid" "$name"
    stop "$relay_pid"
    ;;
  esac
  stop "$sim_pid"
  # The first reads also time connecting the meter (break released, three
  # ENQs) and cold caches: left out of every mode alike.
  tail -n +"$((WARMUP + 1))" "$out/rtt-$name.all" >"$out/rtt-$name.csv"
  check_reads "$name" "$status" "$count"
  result "$name.reads_total" "$total"
  sim_counters "$name" "$name"
}

# CPU and wake-ups of the running daemon over IDLE_S seconds, once it has
# settled.
idle_sample() {
  sleep 1
  sample_start "$daemon_pid"
  sleep "$idle_s"
  sample_end "$daemon_pid" "idle.$1"
}

idle() {
  local client_pid
  say "idle: meter silent, break held (${idle_s} s)"
  sim_start idle-silent --fault silence=1:3600000
  daemon_start "$sim_path $PORT"
  idle_sample silent
  stop "$daemon_pid"
  stop "$sim_pid"

  say "idle: ENQ every $IDLE_ENQ_MS ms, no client (${idle_s} s)"
  sim_start idle-enq --enq-ms "$IDLE_ENQ_MS"
  daemon_start "$sim_path $PORT"
  idle_sample enq
  say "idle: ENQ every $IDLE_ENQ_MS ms, client connected after one read (${idle_s} s)"
  "$CLIENT" --count 1 --hold-ms "$(((idle_s + 5) * 1000))" "$PORT" >"$out/idle-client.csv" 2>/dev/null &
  client_pid=$!
  wait_until "the idle client's read" has_lines "$out/idle-client.csv" 1
  idle_sample connected
  stop "$client_pid"
  stop "$daemon_pid"
  stop "$sim_pid"

  say "idle: no channel enabled"
  no_channel
}

# With no channel enabled the daemon has nothing to serve and ends at once:
# its whole run is timed instead.
no_channel() {
  local status=0
  printf 'MOD_MEVRAKT_ENABLED=1\nMOD_MEVRAKT_PROT1_ENABLED=0\nMOD_MEVRAKT_PROT2_ENABLED=0\n' >"$SETTINGS"
  TIMEFORMAT='%3R %3U %3S'
  { time "$DAEMON"; } 2>"$out/none.times" || status=$?
  result idle.none.status "$status"
  result idle.none.times "$(tail -n 1 "$out/none.times")"
}

# Memory with both channels open and a client reading each.
footprint() {
  local sim1 path1 c1 c2
  say "footprint: two channels"
  sim_start fp1 --enq-ms "$ENQ_MS"
  sim1=$sim_pid path1=$sim_path
  sim_start fp2 --enq-ms "$ENQ_MS"
  daemon_start "$path1 $PORT" "$sim_path $PORT2"
  "$CLIENT" --count 5 --gap-ms "$GAP_MS" --hold-ms 20000 "$PORT" >"$out/fp1.csv" 2>/dev/null &
  c1=$!
  "$CLIENT" --count 5 --gap-ms "$GAP_MS" --hold-ms 20000 "$PORT2" >"$out/fp2.csv" 2>/dev/null &
  c2=$!
  wait_until "reads on both channels" has_lines "$out/fp1.csv" 5
  wait_until "reads on both channels" has_lines "$out/fp2.csv" 5
  result fp.rss_kb "$(awk '/^VmRSS:/ {print $2}' /proc/"$daemon_pid"/status)"
  result fp.hwm_kb "$(awk '/^VmHWM:/ {print $2}' /proc/"$daemon_pid"/status)"
  result fp.pss_kb "$(awk '/^Pss:/ {print $2}' /proc/"$daemon_pid"/smaps_rollup)"
  result fp.pss_anon_kb "$(awk '/^Pss_Anon:/ {print $2}' /proc/"$daemon_pid"/smaps_rollup)"
  result fp.threads "$(awk '/^Threads:/ {print $2}' /proc/"$daemon_pid"/status)"
  stop "$c1"
  stop "$c2"
  stop "$daemon_pid"
  stop "$sim1"
  stop "$sim_pid"
}

result warmup "$WARMUP"
result enq_ms "$ENQ_MS"
result turnaround_ms "$TURNAROUND_MS"
result gap_ms "$GAP_MS"
result idle_enq_ms "$IDLE_ENQ_MS"
result idle_s "$idle_s"
if [ "$only" = cpu ]; then
  result relays ""
  latency mevraktd pty "$reads"
  say "done"
  exit 0
fi
relays=(socat)
# ser2net resolves its listening address with AI_ADDRCONFIG, which counts no
# IPv4 address but 127.0.0.1 as configured; a second loopback address in the
# sandbox's own network lets it resolve 127.0.0.1 there.
if command -v ser2net >/dev/null && ip addr add 127.0.0.2/8 dev lo; then
  relays+=(ser2net ser2net-tuned)
fi
result relays "${relays[*]}"
for mode in direct mevraktd "${relays[@]}"; do
  latency "$mode" pty "$reads"
done
for mode in direct mevraktd "${relays[@]}"; do
  latency "$mode" line "$line_reads"
done
idle
footprint
say "done"
