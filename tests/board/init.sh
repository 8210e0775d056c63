#!/bin/sh
# SPDX-License-Identifier: MIT
# /init of the emulated board that tests/board/test-board.sh boots: BusyBox, the C
# library and the mevraKT package, nothing else (with --static, BusyBox and
# the static release alone, no C library). It brings the board up as a
# small BusyBox system would (devices, network, syslogd) and then serves the
# host, which drives the story:
#
#   ttyAMA0  console; "@@board: ..." lines say how the boot went, and every
#            syslog line is copied here too, so a failed run can show it
#            even when the board no longer answers
#   ttyAMA1  meter 1 \ the host plays the meters on the ptys that the
#   ttyAMA2  meter 2 / emulator ties these UARTs to
#   ttyAMA3  command line: the host writes "ID COMMAND", the board answers
#            "@@begin ID", the command's output, "@@end ID STATUS"
#
# If this script ever ends, the kernel panics and the emulator, started with
# -no-reboot and panic=-1, exits.

/bin/busybox --install -s
export PATH=/usr/sbin:/usr/bin:/sbin:/bin

say() {
  echo "@@board: $*"
}

uptime_s() {
  cut -d ' ' -f 1 /proc/uptime
}

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts
mount -t devpts devpts /dev/pts
say "init running at $(uptime_s) s"
hostname board

# The LAN9118's driver and the PHY modules it needs, in the order the host
# worked out from the modules' own dependency lists.
kernel=$(uname -r)
while read -r module; do
  insmod "/lib/modules/$kernel/$module" || say "insmod $module failed"
done <"/lib/modules/$kernel/board.modules"

# QEMU's user-mode network: the board is 10.0.2.15, the host's forwarded
# ports reach it there.
ifconfig lo 127.0.0.1 up
if ifconfig eth0 10.0.2.15 netmask 255.255.255.0 up; then
  route add default gw 10.0.2.2
else
  say "no eth0"
fi

: >/var/log/messages
syslogd -O /var/log/messages
tries=50
while [ ! -S /dev/log ] && [ "$tries" -gt 0 ]; do
  sleep 0.1
  tries=$((tries - 1))
done
[ -S /dev/log ] || say "syslogd did not start"
tail -n +1 -f /var/log/messages | sed 's/^/@@syslog: /' &

# Raw, so that the command line's bytes pass as they are: no echo, no CR
# added to the answers.
stty -F /dev/ttyAMA3 raw -echo || say "cannot set up ttyAMA3"
say "booted at $(uptime_s) s"

# shellcheck source=tests/lib/guest.sh
. /lib/mevrakt-guest.sh
guest_serve </dev/ttyAMA3 >/dev/ttyAMA3

say "the command line closed"
poweroff -f
