#!/bin/bash
# SPDX-License-Identifier: MIT
# The gateway's benchmark: how long a read takes through mevraktd compared
# with reading the meter's line directly and through a transparent relay
# (socat, ser2net), on a pty and at 9600 baud; the daemon's CPU per read and
# while idle; its size and memory. All on this one machine, in one run.
#
#   bench/run.sh [--reads N] [--line-reads N] [--idle-s S] [--out FILE]
#   bench/run.sh --cpu-only [--reads N]
#
# From a clean clone: installs socat and ser2net when missing, builds what it
# needs in build-bench/ (and the programs for 32-bit ARM in build-bench-arm/
# when arm-linux-gnueabihf-g++ is installed), runs bench/measure.sh inside
# mevrakt-sandbox, and prints one table of the figures with the machine, the
# date and this command. It writes the same into bench/benchmarks.md, between
# the page's two markers (--out FILE for another page, --out - for none).
# Leaves no process or temporary file behind. Not a test: the figures depend
# on the machine and on what else runs on it.
#
# --cpu-only measures only the daemon's CPU per read on a pty and the
# stripped sizes, in about 15 s, and prints them without writing the page:
# run it several times to see the spread on a shared machine.
set -euo pipefail
cd "$(dirname "$0")/.."

reads=500 line_reads=100 idle_s=30 out_file=bench/benchmarks.md only=""
command="bench/run.sh${*:+ $*}"
while [ $# -gt 0 ]; do
  case $1 in
  --cpu-only)
    only=cpu out_file=-
    shift
    continue
    ;;
  --reads) reads=$2 ;;
  --line-reads) line_reads=$2 ;;
  --idle-s) idle_s=$2 ;;
  --out) out_file=$2 ;;
  *)
    echo "usage: bench/run.sh [--cpu-only] [--reads N] [--line-reads N] [--idle-s S] [--out FILE]" >&2
    exit 2
    ;;
  esac
  shift 2
done

readonly BUILD=build-bench ARM_BUILD=build-bench-arm ARM_CXX=arm-linux-gnueabihf-g++

# ser2net is a bonus: if it will not install, its rows are left out.
if [ -z "$only" ]; then
  scripts/setup.sh socat ser2net || scripts/setup.sh socat
fi

jobs=$(nproc)
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$jobs" --target mevraktd mevraktsh mevrakt-meter-sim mevrakt-read \
  mevrakt-sandbox mevrakt-bench-client >/dev/null

tmp=$(mktemp -d /tmp/mevrakt-bench.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

# Stripped size in bytes of each program of a build, with the given strip.
stripped_sizes() {
  local build=$1 strip=$2 prog
  for prog in daemon/mevraktd shell/mevraktsh; do
    "$strip" -o "$tmp/stripped" "$build/$prog"
    stat -c %s "$tmp/stripped"
  done
}

arm_sizes="not installed"
if command -v "$ARM_CXX" >/dev/null; then
  toolchain=
  for file in cmake/*arm*.cmake; do
    [ -f "$file" ] && { toolchain=$file; break; }
  done
  if [ -n "$toolchain" ]; then
    cross=(-DCMAKE_TOOLCHAIN_FILE="$PWD/$toolchain")
  else
    cross=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=arm -DCMAKE_CXX_COMPILER="$ARM_CXX")
  fi
  if cmake -S . -B "$ARM_BUILD" "${cross[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMEVRAKT_TESTS=OFF >/dev/null &&
    cmake --build "$ARM_BUILD" -j"$jobs" --target mevraktd mevraktsh >/dev/null; then
    arm_sizes=$(stripped_sizes "$ARM_BUILD" arm-linux-gnueabihf-strip | tr '\n' ' ')
  else
    arm_sizes="build failed"
  fi
fi
x86_sizes=$(stripped_sizes "$BUILD" strip | tr '\n' ' ')

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date -u '+%Y-%m-%d %H:%M UTC')
"$BUILD/sandbox/mevrakt-sandbox" --log "$tmp/syslog" -- \
  bench/measure.sh "$tmp" "$BUILD" "$reads" "$line_reads" "$idle_s" $only
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- the report --------------------------------------------------------------

get() { sed -n "s/^$1=//p" "$tmp/results"; }
calc() { awk "BEGIN {printf \"$1\", $2}"; }

# Nearest-rank percentiles of a file of numbers: p50 p90 p99 max n.
percentiles() {
  sort -n "$1" | awk '{v[NR] = $1}
    END {
      n = NR
      if (n == 0) { print "- - - - 0"; exit }
      split("50 90 99", q, " ")
      for (i = 1; i <= 3; i++) printf "%s ", v[int((n * q[i] + 99) / 100)]
      printf "%s %d\n", v[n], n
    }'
}

declare -A p50 p90
rows=()
row() { rows+=("| $1 | $2 | ${3:-} | ${4:-} |"); }

# Both sides of a comparison: met or missed.
verdict() { awk "BEGIN {print ($1) ? \"met\" : \"**missed**\"}"; }

latency_row() {
  local speed=$2 label=$3 name=$1-$2 p q r m n extra=""
  [ -f "$tmp/rtt-$name.csv" ] || return 0
  read -r p q r m n < <(percentiles "$tmp/rtt-$name.csv")
  p50[$name]=$p p90[$name]=$q
  local total sends
  total=$(get "$name.reads_total")
  sends=$(get "$name.sim_commands_good")
  if [ "$n" -lt $((total - $(get warmup))) ]; then
    extra="; **$((total - $(get warmup) - n)) reads failed**"
  fi
  if [ "$sends" -gt "$total" ]; then
    extra="$extra; $((sends - total)) commands resent"
  fi
  if [ "$speed" = line ]; then
    extra="$extra; p50 $(calc '%+.2f' "($p - $floor) / $floor * 100")% over the floor"
  fi
  row "$label" "p50 $p · p90 $q · p99 $r · max $m ms (n=$n$extra)"
}

cpu_row() {
  local name=$1 label=$2 cpu switches total
  cpu=$(get "$name.cpu_ns")
  [ -n "$cpu" ] || return 0
  switches=$(get "$name.switches")
  total=$(get "$name.reads_total")
  row "$label" "$(calc '%.0f µs' "$cpu / $total / 1000") ($(calc '%.1f' "$switches / $total") wake-ups of $(calc '%.0f µs' "$cpu / ($switches > 0 ? $switches : 1) / 1000") each)" "${3:-}" "${4:-}"
}

idle_row() {
  local state=$1 label=$2 cpu switches
  cpu=$(get "idle.$state.cpu_ns")
  switches=$(get "idle.$state.switches")
  row "$label" "$(calc '%.3f ms' "$cpu / 1e6") in ${idle_s} s = $(calc '%.1f µs/s' "$cpu / $idle_s / 1000"); $(calc '%.1f' "$switches / $idle_s") wake-ups/s" "${3:-}" "${4:-}"
}

ratio_row() {
  local a=$1 b=$2 label=$3 goal=${4:-} ok=""
  [ -n "${p50[$a]-}" ] && [ -n "${p50[$b]-}" ] || return 0
  [ -n "$goal" ] && ok=$(verdict "${p50[$a]} <= ${p50[$b]}")
  row "$label" "p50 $(calc '×%.2f' "${p50[$a]} / ${p50[$b]}") · p90 $(calc '×%.2f' "${p90[$a]} / ${p90[$b]}")" "$goal" "$ok"
}

turnaround=$(get turnaround_ms) enq=$(get enq_ms) gap=$(get gap_ms) idle_enq=$(get idle_enq_ms)
floor=$(calc '%.1f' "(66 + 258) * 10 / 9600 * 1000 + $turnaround")
relays=$(get relays)
relay_label() {
  case $1 in
  socat) echo "socat relay" ;;
  ser2net) echo "ser2net relay, defaults" ;;
  ser2net-tuned) echo "ser2net relay, tuned (TCP nodelay, chardelay off)" ;;
  esac
}

if [ "$only" = cpu ]; then
  latency_row mevraktd pty "Read on a pty: through mevraktd"
  cpu_row mevraktd-pty "mevraktd CPU per read, pty"
fi
[ "$only" = cpu ] || for speed in pty line; do
  if [ "$speed" = pty ]; then
    what="on a pty"
  else
    what="at 9600 baud"
    row "Floor at 9600 baud 8N1" "(66 + 258) bytes × 10 bits / 9600 baud = 337.5 ms on the line + ${turnaround} ms turnaround = **$floor ms**; ENQ wait 0 (see below)"
  fi
  latency_row direct "$speed" "Read $what: direct, \`mevrakt-read --serial\`"
  latency_row mevraktd "$speed" "Read $what: through mevraktd"
  for relay in $relays; do
    latency_row "$relay" "$speed" "Read $what: $(relay_label "$relay"), \`mevrakt-read --pace\`"
  done
  if [ "$speed" = pty ] && [ -n "${p50[mevraktd-pty]-}" ]; then
    diff50=$(calc '%.3f' "${p50[mevraktd-pty]} - ${p50[direct-pty]}")
    row "mevraktd − direct, pty" "p50 $(calc '%+.3f' "$diff50") ms · p90 $(calc '%+.3f' "${p90[mevraktd-pty]} - ${p90[direct-pty]}") ms" \
      "p50 ≤ +2.5 ms" "$(verdict "$diff50 <= 2.5")"
    ratio_row mevraktd-pty direct-pty "mevraktd / direct, pty"
    for relay in $relays; do
      ratio_row mevraktd-pty "$relay-pty" "mevraktd / $(relay_label "$relay"), pty" "p50 ≤ ×1"
    done
  fi
  if [ "$speed" = line ] && [ -n "${p50[mevraktd-line]-}" ]; then
    over=$(calc '%.3f' "(${p50[mevraktd-line]} - $floor) / $floor * 100")
    row "mevraktd over the floor, 9600 baud" "p50 $(calc '%+.2f' "$over")% · p90 $(calc '%+.2f' "(${p90[mevraktd-line]} - $floor) / $floor * 100")%" \
      "p50 within 1%" "$(verdict "$over <= 1")"
    for relay in $relays; do
      ratio_row mevraktd-line "$relay-line" "mevraktd / $(relay_label "$relay"), 9600 baud" "p50 ≤ ×1"
    done
  fi
done

[ "$only" = cpu ] || {
cpu=$(get mevraktd-pty.cpu_ns)
cpu_row mevraktd-pty "mevraktd CPU per read, pty" "< 100 µs" "$(verdict "$cpu / $(get mevraktd-pty.reads_total) < 100000")"
cpu_row mevraktd-line "mevraktd CPU per read, 9600 baud"
for relay in $relays; do
  cpu_row "$relay-pty" "$(relay_label "$relay") CPU per read, pty"
  cpu_row "$relay-line" "$(relay_label "$relay") CPU per read, 9600 baud"
done
idle_row silent "mevraktd idle: meter silent, break held, no client" "no CPU" "$(verdict "$(get idle.silent.cpu_ns) == 0")"
idle_row enq "mevraktd idle: ENQ every $idle_enq ms, break held, no client"
idle_row connected "mevraktd idle: ENQ every $idle_enq ms, meter connected, client connected"
read -r wall user sys <<<"$(get idle.none.times)"
row "mevraktd with no channel enabled" "exits at once by design (status $(get idle.none.status)): ${wall} s wall, ${user} s user + ${sys} s system from start to exit, nothing left running"
}

read -r d_x86 sh_x86 <<<"$x86_sizes"
kib() { calc '%.1f KiB' "$1 / 1024"; }
row "Stripped size, x86-64: mevraktd" "$d_x86 B ($(kib "$d_x86"))" "< 100 KiB" "$(verdict "$d_x86 < 102400")"
row "Stripped size, x86-64: mevraktsh" "$sh_x86 B ($(kib "$sh_x86"))"
if [[ $arm_sizes =~ ^[0-9] ]]; then
  read -r d_arm sh_arm <<<"$arm_sizes"
  row "Stripped size, 32-bit ARM: mevraktd" "$d_arm B ($(kib "$d_arm"))"
  row "Stripped size, 32-bit ARM: mevraktsh" "$sh_arm B ($(kib "$sh_arm"))"
else
  row "Stripped size, 32-bit ARM" "$arm_sizes ($ARM_CXX)"
fi
[ "$only" = cpu ] || {
pss=$(get fp.pss_kb)
row "mevraktd memory, two channels reading" "VmRSS $(get fp.rss_kb) KiB, Pss $pss KiB (of which anonymous $(get fp.pss_anon_kb) KiB)" \
  "Pss < 1 MiB" "$(verdict "$pss < 1024")"
row "mevraktd threads, two channels" "$(get fp.threads)"
}

table=$(
  echo "| Figure | Result | Goal | Met |"
  echo "|---|---|---|---|"
  printf '%s\n' "${rows[@]}"
)

# The build's hardening, as its compile and link lines say.
flags=$(cat "$BUILD/daemon/CMakeFiles/mevraktd.dir/flags.make" "$BUILD/daemon/CMakeFiles/mevraktd.dir/link.txt")
hardening=""
for flag in -fstack-protector-strong -D_FORTIFY_SOURCE=[0-9] -pie -z,now; do
  found=$(grep -o -e "$flag" <<<"$flags" | head -n 1 || true)
  [ -z "$found" ] || hardening="$hardening $found"
done
hardening=${hardening:+, hardened:$hardening}
cpu_model=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
hypervisor=$(lscpu 2>/dev/null | sed -n 's/^Hypervisor vendor:[[:space:]]*//p')
versions="$(g++ --version | head -n 1)"
command -v socat >/dev/null && versions="$versions; $(socat -V | sed -n 's/^socat version \([^ ]*\).*/socat \1/p')"
command -v ser2net >/dev/null && versions="$versions, ser2net $(ser2net -v | awk '{print $NF}')"
cat >"$tmp/block" <<EOF
## Last run

- Command: \`$command\`
- Date: $started
- Machine: $cpu_model${hypervisor:+ (virtual, $hypervisor)}, $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo), Linux $(uname -r)
- Load average (1, 5, 15 min): $load_before before, $load_after after
- Build: RelWithDebInfo (-O2)$hardening; $versions
- Settings: meter turnaround $turnaround ms, ENQ every $enq ms ($idle_enq ms when idle); client pause $gap ms;
  $reads reads per mode on a pty, $line_reads at 9600 baud, after $(get warmup) reads not kept; idle ${idle_s} s per state

$table
EOF
cat "$tmp/block"
[ "$out_file" = - ] && exit 0

# Only the part between the markers is ours: the rest of the page is
# written by hand.
begin='<!-- bench/run.sh writes from here to the end marker -->'
end='<!-- end of bench/run.sh output -->'
if [ -f "$out_file" ] && grep -qxF "$begin" "$out_file" && grep -qxF "$end" "$out_file"; then
  awk -v b="$begin" -v e="$end" -v block="$tmp/block" '
    $0 == e { skip = 0 }
    !skip { print }
    $0 == b { while ((getline line < block) > 0) print line; skip = 1 }' "$out_file" >"$tmp/page"
else
  { printf '# Benchmarks\n\n%s\n' "$begin"; cat "$tmp/block"; echo "$end"; } >"$tmp/page"
fi
cp "$tmp/page" "$out_file"
echo "bench: wrote $out_file" >&2
