#!/bin/sh
# SPDX-License-Identifier: MIT
# Boots a 32-bit ARM board under full-system emulation and reads two meters
# through its UARTs: a real ARM kernel, its PL011 driver and BusyBox, where
# scripts/test-arm.sh has only the host's kernel under qemu user emulation.
#
#   tests/board/test-board.sh [--static]
#
# The board is QEMU's vexpress-a9 (one CPU, 64 MiB) with Debian's armhf
# kernel. Its initramfs holds BusyBox, the C library and the files of the
# armhf mevraKT package as dpkg would install them. The story, driven from
# here:
#   - the board boots, loads its network driver and starts syslogd;
#   - its settings put channel 1 on /dev/ttyAMA1 and channel 2 on
#     /dev/ttyAMA2, and the package's init script starts mevraktd;
#   - mevrakt-meter-sim plays each meter on the host pty tied to that UART;
#   - mevrakt-read reads each meter through the port forwarded to the board,
#     on a connection of its own and then on one that takes over from an
#     idle client;
#   - mevraktsh status 1 and 2 on the board count every read;
#   - the init script stops the daemon;
#   - the board's syslog has "started", both channels, "stopped" and no
#     error (a pty has no modem lines: "ioctl(TIOCMBIx) error" on every run
#     under user emulation; a PL011 has them).
# Exit status 0 only if all of that holds; on failure it prints the board's
# console and syslog. The board and the simulators never outlive the script.
#
# With --static the board has no C library at all: its initramfs holds
# BusyBox (Debian's static build) and the files of the armhf release tarball
# of scripts/build-static.sh, whose mevraktd and mevraktsh are linked
# statically; the story is the same.
#
# Builds into build-board/ (armhf programs and package) and
# build-board-host/ (the host's simulator and reader); keeps the downloaded
# armhf packages (kernel, BusyBox, C library) in
# ${XDG_CACHE_HOME:-~/.cache}/mevrakt-board, or $MEVRAKT_BOARD_CACHE; the
# run's logs stay in build-board/board/run/. Needs root, or sudo, the first
# time on a machine: it installs the cross compiler and qemu-system-arm, and
# adds armhf to dpkg's architectures to fetch the board's packages.
set -eu
cd "$(dirname "$0")/../.."
. scripts/lib/args.sh

BUILD=build-board
HOST_BUILD=build-board-host
BOARD=$BUILD/board
RUN=$BOARD/run
CACHE=${MEVRAKT_BOARD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/mevrakt-board}
TRIPLET=arm-linux-gnueabihf
# The board's own ports; the host's forwarded ones are picked per run.
BOARD_PORT1=4001
BOARD_PORT2=4002
# Reads per channel: on a connection of its own, then after a takeover.
READS=5
TAKEOVER_READS=3

STATIC=0
case "${1:-}" in
  "") ;;
  --static) STATIC=1 ;;
  -h | --help)
    script_help
    exit 0
    ;;
  *) echo "usage: $0 [--static]" >&2; exit 2 ;;
esac

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi

say() {
  printf 'test-board: %s\n' "$*"
}

. scripts/lib/wait.sh
. scripts/lib/ports.sh
. tests/lib/guest.sh

# ---------------------------------------------------------------------------
# Programs, packages and the initramfs

build_programs() {
  jobs=$(nproc 2>/dev/null || echo 2)
  log=$BUILD/board-build.log
  mkdir -p "$BUILD"
  if [ "$STATIC" -eq 1 ]; then
    say "building the static armhf programs and tarball into build-static-armhf/, the host's tools into $HOST_BUILD/ (output in $log)"
  else
    say "building the armhf programs and package into $BUILD/, the host's tools into $HOST_BUILD/ (output in $log)"
  fi
  {
    if [ "$STATIC" -eq 1 ]; then
      scripts/build-static.sh armhf
    else
      cmake -S . -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$TRIPLET.cmake" \
        -DMEVRAKT_TESTS=OFF -DMEVRAKT_WERROR=ON
      cmake --build "$BUILD" -j"$jobs"
      rm -f "$BUILD"/mevrakt_*.deb
      (cd "$BUILD" && cpack -G DEB)
    fi
    cmake -S . -B "$HOST_BUILD" -DMEVRAKT_TESTS=OFF -DMEVRAKT_WERROR=ON
    cmake --build "$HOST_BUILD" -j"$jobs" --target mevrakt-meter-sim mevrakt-read
  } >"$log" 2>&1 || {
    tail -n 30 "$log" >&2
    fail "the build failed (the end of $log is above)"
  }
  if [ "$STATIC" -eq 1 ]; then
    DEB=$(ls build-static-armhf/mevrakt-*-armhf-static.tar.gz)
  else
    DEB=$(ls "$BUILD"/mevrakt_*_armhf.deb)
  fi
}

# Sets KERNEL_DEB to the cached kernel package, or to nothing.
cached_kernel() {
  KERNEL_DEB=
  for deb in "$CACHE"/linux-image-*-armmp_*_armhf.deb; do
    [ ! -f "$deb" ] || KERNEL_DEB=$deb
  done
}

# The board's packages, from the cache when it has them all.
fetch_packages() {
  mkdir -p "$CACHE"
  cached_kernel
  have=1
  for pkg in busybox-static libc6 libgcc-s1; do
    ls "$CACHE/${pkg}_"*_armhf.deb >/dev/null 2>&1 || have=0
  done
  if [ -n "$KERNEL_DEB" ] && [ "$have" -eq 1 ]; then
    say "armhf kernel, BusyBox and C library from $CACHE"
    return 0
  fi
  say "fetching the armhf kernel, BusyBox and C library into $CACHE"
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $SUDO dpkg --add-architecture armhf
    $SUDO apt-get update -qq
  fi
  kernel_pkg=$(kernel_package linux-image-armmp:armhf)
  [ -n "$kernel_pkg" ] || fail "apt knows no armhf kernel (linux-image-armmp:armhf)"
  rm -f "$CACHE"/*.deb
  (
    cd "$CACHE"
    apt_download "$kernel_pkg:armhf" busybox-static:armhf libc6:armhf libgcc-s1:armhf ||
      { $SUDO apt-get update -qq && apt_download "$kernel_pkg:armhf" busybox-static:armhf libc6:armhf libgcc-s1:armhf; }
  ) || fail "cannot download the board's packages"
  cached_kernel
  [ -n "$KERNEL_DEB" ] || fail "apt-get download left no kernel package in $CACHE"
}

# Prints module $1's file, relative to $MODULES, after those of the modules
# it needs, leaving out those already in $2.
module_order() {
  file=$(find "$MODULES/kernel" -name "$(echo "$1" | sed 's/[-_]/[-_]/g').ko")
  [ -n "$file" ] || fail "the kernel package has no module $1"
  file=${file#"$MODULES"/}
  grep -qxF "$file" "$2" && return 0
  for dep in $(tr '\0' '\n' <"$MODULES/$file" | sed -n 's/^depends=//p' | tr ',' ' '); do
    (module_order "$dep" "$2")
  done
  echo "$file" >>"$2"
}

make_initramfs() {
  if [ "$STATIC" -eq 1 ]; then
    say "making the initramfs: static BusyBox, $(basename "$DEB") and the network modules; no C library"
  else
    say "making the initramfs: BusyBox, the C library, $(basename "$DEB") and the network modules"
  fi
  kernel=$BOARD/kernel
  rm -rf "$kernel"
  mkdir -p "$kernel"
  dpkg-deb -x "$KERNEL_DEB" "$kernel"
  VMLINUZ=$(ls "$kernel"/boot/vmlinuz-*)
  DTB=$(ls "$kernel"/usr/lib/linux-image-*/vexpress-v2p-ca9.dtb)
  version=${VMLINUZ##*/vmlinuz-}
  MODULES=$kernel/lib/modules/$version

  root=$BOARD/root
  rm -rf "$root"
  mkdir -p "$root"
  if [ "$STATIC" -eq 1 ]; then
    dpkg-deb -x "$CACHE"/busybox-static_*.deb "$root"
    tar -xzf "$DEB" -C "$root" --strip-components=1
    libraries=$(find "$root" -name '*.so' -o -name '*.so.*' -o -name 'ld-linux*')
    [ -z "$libraries" ] || fail "the static board's initramfs holds libraries: $libraries"
  else
    for deb in "$CACHE"/busybox-static_*.deb "$CACHE"/libc6_*.deb "$CACHE"/libgcc-s1_*.deb "$DEB"; do
      dpkg-deb -x "$deb" "$root"
    done
  fi
  # What a board of this size would leave out: documentation and character
  # set converters.
  rm -rf "${root:?}/usr/share" "${root:?}/usr/lib/$TRIPLET/gconv"
  mkdir -p "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/run" "$root/var/log" \
    "$root/sbin" "$root/usr/bin" "$root/usr/sbin" "$root/lib/modules/$version"
  ln -s ../run "$root/var/run"
  ln -s busybox "$root/bin/sh"
  cp tests/board/init.sh "$root/init"
  chmod 755 "$root/init"
  cp tests/lib/guest.sh "$root/lib/mevrakt-guest.sh"

  order=$root/lib/modules/$version/board.modules
  : >"$order"
  # smsc is the PHY driver: no module names it, the PHY's id does.
  for module in smsc smsc911x; do
    (module_order "$module" "$order")
  done
  while read -r file; do
    mkdir -p "$root/lib/modules/$version/$(dirname "$file")"
    cp "$MODULES/$file" "$root/lib/modules/$version/$file"
  done <"$order"

  INITRD=$BOARD/initrd.gz
  (cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet) | gzip -1 >"$INITRD"
}

# ---------------------------------------------------------------------------
# The run: the emulator, the simulators, the command line to the board

QEMU_PID=
SIM1_PID=
SIM2_PID=
HOLD_PID=
FAILED=0

cleanup() {
  status=$?
  trap - EXIT INT TERM
  end_process "$HOLD_PID"
  end_process "$QEMU_PID"
  end_process "$SIM1_PID"
  end_process "$SIM2_PID"
  guest_channel_close
  exit "$status"
}

# Prints what the board showed: its console without the syslog copies, then
# its syslog.
show_board() {
  [ -f "$RUN/console.log" ] || return 0
  echo "---- board console ($RUN/console.log) ----"
  grep -av '^@@syslog: ' "$RUN/console.log" || true
  echo "---- board syslog ----"
  sed -n 's/^@@syslog: //p' "$RUN/console.log"
  echo "---- emulator ($RUN/qemu.log) ----"
  cat "$RUN/qemu.log" 2>/dev/null || true
  for n in 1 2; do
    if [ -s "$RUN/sim$n.err" ]; then
      echo "---- meter $n simulator ($RUN/sim$n.err) ----"
      cat "$RUN/sim$n.err"
    fi
  done
  echo "----"
}

fail() {
  echo "test-board: FAILED: $*" >&2
  if [ "$FAILED" -eq 0 ]; then
    FAILED=1
    show_board >&2
  fi
  exit 1
}

ptys_ready() {
  [ -n "$(pty_of meter1)" ] && [ -n "$(pty_of meter2)" ]
}

booted() {
  gone "$QEMU_PID" || grep -aq '^@@board: booted' "$RUN/console.log" 2>/dev/null
}

start_emulator() {
  rm -f "$RUN/console.log" "$RUN/qemu.log"
  qemu-system-arm -M vexpress-a9 -smp 1 -m 64M \
    -nodefaults -no-user-config -display none -no-reboot \
    -audiodev none,id=silent -global pl041.audiodev=silent \
    -kernel "$VMLINUZ" -dtb "$DTB" -initrd "$INITRD" \
    -append "console=ttyAMA0 panic=-1" \
    -chardev file,id=console,path="$RUN/console.log" -serial chardev:console \
    -chardev pty,id=meter1 -serial chardev:meter1 \
    -chardev pty,id=meter2 -serial chardev:meter2 \
    -chardev pipe,id=cmd,path="$RUN/cmd" -serial chardev:cmd \
    -nic "user,model=lan9118,restrict=on,hostfwd=tcp:127.0.0.1:$PORT1-:$BOARD_PORT1,hostfwd=tcp:127.0.0.1:$PORT2-:$BOARD_PORT2" \
    >"$RUN/qemu.log" 2>&1 5>&- &
  QEMU_PID=$!
  wait_until 20 emulator_settled || fail "the emulator did not start the board within 20 s"
}

start_board() {
  rm -rf "$RUN"
  mkdir -p "$RUN"
  guest_channel_open
  BOOT_START=$(now)
  start_emulator_on_free_ports 2
  say "booting the board: vexpress-a9, $(basename "$VMLINUZ"), ports $PORT1 and $PORT2 forwarded to $BOARD_PORT1 and $BOARD_PORT2"
  ptys_ready || fail "the emulator tied no ptys to the meters' UARTs"
  PTY1=$(pty_of meter1)
  PTY2=$(pty_of meter2)

  # The meters start before anything opens their lines on the board: what a
  # UART sends while no one holds its pty is lost.
  start_meter 1 "$PTY1"
  SIM1_PID=$SIM_PID
  start_meter 2 "$PTY2"
  SIM2_PID=$SIM_PID

  wait_until 60 booted || true
  gone "$QEMU_PID" && fail "the emulator ended during the boot"
  grep -aq '^@@board: booted' "$RUN/console.log" || fail "the board did not boot within 60 s"
  BOOT_TIME=$(since "$BOOT_START")
  GUEST_UP=$(sed -n 's/^@@board: booted at \([0-9.]*\) s/\1/p' "$RUN/console.log")
  problems=$(grep -a '^@@board: ' "$RUN/console.log" | grep -v ': init running at \|: booted at ' || true)
  [ -z "$problems" ] || fail "the board's boot went wrong: $problems"
  say "booted in $BOOT_TIME s (the board's kernel up $GUEST_UP s); meters on $PTY1 and $PTY2"
}

start_meter() {
  "$HOST_BUILD/tools/mevrakt-meter-sim" --stats "$RUN/sim$1.stats" "$2" \
    >"$RUN/sim$1.out" 2>"$RUN/sim$1.err" 5>&- &
  SIM_PID=$!
  wait_until 5 test -s "$RUN/sim$1.out" || fail "the simulator of meter $1 did not start on $2"
}

# ---------------------------------------------------------------------------
# The story

status_shows() {
  guest 10 "mevraktsh status $1" >"$RUN/status.now" || return 1
  [ "$(report_value "$RUN/status.now" 'TCP sessions')" = "$2" ] &&
    [ "$(report_value "$RUN/status.now" 'AMR System')" = "$3" ]
}

# Reads meter $1 $2 times through host port $3 into $RUN/$4.out.
read_meter() {
  timeout 60 "$HOST_BUILD/tools/mevrakt-read" --count "$2" "127.0.0.1:$3" \
    >"$RUN/$4.out" 2>&1 || {
    cat "$RUN/$4.out" >&2
    fail "reading meter $1 through port $3 failed ($4)"
  }
  sed -n 's/^read [0-9]*: \([0-9.]*\) ms$/\1/p' "$RUN/$4.out" >>"$RUN/rtt.txt"
  say "meter $1: $(grep '^rtt_ms' "$RUN/$4.out")"
}

# Channel $1 on host port $2: reads on a connection of its own, then an idle
# client connects and a reader takes over from it.
story_channel() {
  say "channel $1: $READS reads through 127.0.0.1:$2"
  read_meter "$1" "$READS" "$2" "read$1"
  within 10 status_shows "$1" 1 disconnected ||
    fail "channel $1 did not see its reader leave: $(cat "$RUN/status.now")"

  mkfifo "$RUN/hold$1"
  exec 6<>"$RUN/hold$1"
  busybox nc 127.0.0.1 "$2" <"$RUN/hold$1" >/dev/null 2>&1 5>&- 6>&- &
  HOLD_PID=$!
  # The emulator takes the host's connection at once; the daemon's count
  # says when the board has it.
  within 10 status_shows "$1" 2 connected ||
    fail "channel $1 did not accept the idle client: $(cat "$RUN/status.now")"
  say "channel $1: an idle client holds the port; $TAKEOVER_READS reads on a connection that takes over"
  read_meter "$1" "$TAKEOVER_READS" "$2" "takeover$1"
  end_process "$HOLD_PID"
  HOLD_PID=
  exec 6>&-
  within 10 status_shows "$1" 3 disconnected ||
    fail "channel $1 did not count the takeover: $(cat "$RUN/status.now")"
}

check_report() {
  guest 10 "mevraktsh status $1" >"$RUN/status$1.txt" || fail "mevraktsh status $1 failed"
  say "mevraktsh status $1 on the board:"
  sed 's/^/    /' "$RUN/status$1.txt"
  reads=$((READS + TAKEOVER_READS))
  for expect in "Service:running" "TCP sessions:3" "Commands failed:0" \
    "Responses OK:$reads" "Responses failed:0"; do
    value=$(report_value "$RUN/status$1.txt" "${expect%%:*}")
    [ "$value" = "${expect#*:}" ] ||
      fail "status $1 shows \"${expect%%:*}: $value\", not ${expect#*:}"
  done
}

log_has() {
  grep -q "mevraKT\[[0-9]*\]: $1\$" "$RUN/syslog"
}

story() {
  guest 10 "printf '%s\n' MOD_MEVRAKT_ENABLED=1 MOD_MEVRAKT_PROT1_ENABLED=1 \
'MOD_MEVRAKT_PROT1_DEVICE=\"/dev/ttyAMA1\"' MOD_MEVRAKT_PROT1_PORT=$BOARD_PORT1 \
MOD_MEVRAKT_PROT2_ENABLED=1 'MOD_MEVRAKT_PROT2_DEVICE=\"/dev/ttyAMA2\"' \
MOD_MEVRAKT_PROT2_PORT=$BOARD_PORT2 >/opt/mevraKT/etc/settings" >/dev/null ||
    fail "cannot write the board's settings"
  guest 20 /etc/init.d/mevraktd start >"$RUN/init-start.txt" ||
    fail "the init script did not start mevraktd: $(cat "$RUN/init-start.txt")"
  say "on the board: $(cat "$RUN/init-start.txt")"
  within 10 in_guest grep -q "'shell started'" /var/log/messages ||
    fail "mevraktd did not start its shell on the board"
  # The script finds the daemon again through its pid file and /proc.
  guest 10 /etc/init.d/mevraktd status >"$RUN/init-status.txt" ||
    fail "the init script's status says \"$(cat "$RUN/init-status.txt")\""
  say "on the board: $(cat "$RUN/init-status.txt")"

  # The daemon sets DTR and clears RTS on each meter's line; the driver's
  # own view of the lines shows whether that reached the UART.
  guest 10 cat /proc/tty/driver/ttyAMA >"$RUN/uart-lines.txt" || fail "cannot read the board's UART states"
  say "the board's UARTs with mevraktd running:"
  sed 's/^/    /' "$RUN/uart-lines.txt"
  for n in 1 2; do
    line=$(grep "^$n: " "$RUN/uart-lines.txt")
    case "$line" in
      *RTS*) fail "ttyAMA$n has RTS set, which mevraktd clears" ;;
      *DTR*) ;;
      *) fail "ttyAMA$n does not have DTR set" ;;
    esac
  done

  : >"$RUN/rtt.txt"
  story_channel 1 "$PORT1"
  story_channel 2 "$PORT2"

  check_report 1
  check_report 2

  guest 20 /etc/init.d/mevraktd stop >"$RUN/init-stop.txt" ||
    fail "the init script did not stop mevraktd: $(cat "$RUN/init-stop.txt")"
  say "on the board: $(cat "$RUN/init-stop.txt")"
  status=0
  guest 10 /etc/init.d/mevraktd status >"$RUN/init-status.txt" || status=$?
  [ "$status" -eq 3 ] ||
    fail "after the stop, the init script's status says \"$(cat "$RUN/init-status.txt")\" ($status)"
  guest 10 test ! -e /var/run/mevraKT.socket || fail "mevraktd left /var/run/mevraKT.socket"

  guest 10 cat /var/log/messages >"$RUN/syslog" || fail "cannot read the board's syslog"
  # Over a PL011 a response comes in several chunks, each but the last
  # logged with two lines; they are counted rather than shown.
  chunks=$(grep -c 'mevraKT\[[0-9]*\]: nbr14522_com_rsp_exec$' "$RUN/syslog" || true)
  say "mevraktd's syslog on the board, without the $chunks response chunk lines:"
  grep 'mevraKT\[' "$RUN/syslog" |
    grep -v 'mevraKT\[[0-9]*\]: \(nbr14522_com_rsp_exec\|nbr_ptr->rsp_len [0-9]*\)$' | sed 's/^/    /'
  log_has started || fail "the syslog has no \"started\""
  log_has "running on /dev/ttyAMA1, listening on TCP port $BOARD_PORT1" || fail "the syslog does not show channel 1"
  log_has "running on /dev/ttyAMA2, listening on TCP port $BOARD_PORT2" || fail "the syslog does not show channel 2"
  log_has stopped || fail "the syslog has no \"stopped\""
  ! grep -q 'mevraKT\[[0-9]*\]: ioctl(TIOCMBIx) error' "$RUN/syslog" ||
    fail "the syslog has \"ioctl(TIOCMBIx) error\""
  ! grep -q ' daemon\.err mevraKT\[' "$RUN/syslog" || fail "mevraktd logged errors"
}

power_off() {
  guest_last_words poweroff -f
  wait_until 20 gone "$QEMU_PID" || fail "the board did not power off within 20 s"
  status=0
  wait "$QEMU_PID" || status=$?
  QEMU_PID=
  [ "$status" -eq 0 ] || fail "the emulator exited with status $status"
}

# Stops meter $1's simulator, process $2, and checks its counters.
stop_meter() {
  kill -TERM "$2" 2>/dev/null || true
  wait_until 5 gone "$2" || fail "the simulator of meter $1 did not stop"
  wait "$2" || true
  good=$(sed -n 's/^commands_good=//p' "$RUN/sim$1.stats" 2>/dev/null)
  [ "${good:-0}" -ge $((READS + TAKEOVER_READS)) ] ||
    fail "meter $1 received ${good:-no} good commands, fewer than the reads"
  say "meter $1 counted: $(grep -v '^seed=\|=0$' "$RUN/sim$1.stats" | tr '\n' ' ' | sed 's/ $//')"
}

# Min, median and max of the numbers in file $1.
summary() {
  sort -n "$1" | awk '{ v[NR] = $1 }
    END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
          printf "%d reads, min %.1f ms, median %.1f ms, max %.1f ms", NR, v[1], m, v[NR] }'
}

# ---------------------------------------------------------------------------

START=$(now)
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

scripts/setup.sh "g++-$TRIPLET" qemu-system-arm cpio busybox
build_programs
fetch_packages
make_initramfs
PREPARED=$(since "$START")

start_board
STORY_START=$(now)
story
# The meters go first: with the daemon stopped nothing on the board writes
# to their UARTs, and a simulator outlives its pty's end only briefly.
stop_meter 1 "$SIM1_PID"
SIM1_PID=
stop_meter 2 "$SIM2_PID"
SIM2_PID=
power_off

say "read round trips through the emulated UARTs: $(summary "$RUN/rtt.txt")"
say "ok: boot $BOOT_TIME s, story $(since "$STORY_START") s, build and initramfs $PREPARED s, in all $(since "$START") s"
