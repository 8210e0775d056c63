#!/bin/sh
# SPDX-License-Identifier: MIT
# The guest's side of tests/systemd/test-systemd.sh, run by systemd as
# mevrakt-agent.service: brings up the network the host forwards a port
# into, then serves the command line on ttyS2. The host writes
# "ID COMMAND"; the guest answers "@@begin ID", the command's output and
# "@@end ID STATUS". "@@ready" says the guest is up.

# QEMU's user-mode network: the guest is 10.0.2.15, and the host's
# forwarded port reaches it there. The NIC's driver may still be binding.
ip link set lo up
tries=50
while ! ip link show eth0 >/dev/null 2>&1 && [ "$tries" -gt 0 ]; do
  sleep 0.1
  tries=$((tries - 1))
done
if ! { ip link set eth0 up && ip addr add 10.0.2.15/24 dev eth0 && ip route add default via 10.0.2.2; }; then
  echo "@@vm: no network on eth0" >/dev/console
fi

# Raw, so that the command line's bytes pass as they are.
stty -F /dev/ttyS2 raw -echo
exec </dev/ttyS2 >/dev/ttyS2 2>&1
echo "@@ready"
# shellcheck source=tests/lib/guest.sh
. /usr/local/lib/mevrakt-guest.sh
guest_serve
