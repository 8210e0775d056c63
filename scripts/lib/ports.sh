# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# Shell functions the scripts share for the host's loopback ports that an
# emulator forwards; sourced, never run.

port_free() {
  ! ss -Htan "sport = :$1" 2>/dev/null | grep -q .
}

# Sets PORT1 (and PORT2 = PORT1 + 1 when $1 is 2) to free ports at random,
# below the range the kernel hands out to outgoing connections, so that runs
# side by side do not meet. Returns 1 when ten tries found none.
pick_ports() {
  low=$(cut -f 1 /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
  [ "$low" -gt 12000 ] || low=32768
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    n=$(od -An -N2 -tu2 /dev/urandom | tr -d ' ')
    PORT1=$((10000 + n % (low - 10002)))
    PORT2=$((PORT1 + 1))
    port_free "$PORT1" && { [ "$1" -lt 2 ] || port_free "$PORT2"; } && return 0
  done
  return 1
}
