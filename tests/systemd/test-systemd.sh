#!/bin/sh
# SPDX-License-Identifier: MIT
# Boots a Debian guest with a real systemd as PID 1, installs the amd64
# package of this tree in it, and reads a simulated meter through the
# hardened mevraktd.service:
#
#   tests/systemd/test-systemd.sh
#
# The guest is Debian's amd64 kernel with an initramfs that holds a
# debootstrap of bookworm (minbase, systemd, iproute2) and is its root file
# system. Its serial ports: ttyS0 the console, ttyS1 the meter's line (tied
# to a host pty on which mevrakt-meter-sim plays the meter), ttyS2 a command
# line the host drives. A host port on 127.0.0.1 is forwarded to the guest's
# 4001. The story, each step checked:
#   - dpkg installs the package; systemd rates the unit's exposure (at most
#     2.5); "mevraktd --check" approves settings with channel 1 on /dev/ttyS1;
#   - systemctl starts the unit; mevrakt-read reads the meter through the
#     forwarded port; mevraktsh status 1 counts the reads; the daemon runs
#     without any capability;
#   - systemctl stops it, cleanly;
#   - the settings then name a device that is not there yet (a by-id link,
#     as a USB adapter plugged in late gets): --check says so, the started
#     daemon fails with status 1 and systemd starts it again; once the link
#     appears a restart takes it, and a read succeeds;
#   - the journal shows "started" and "stopped" for each run, and no error
#     but the late device's;
#   - the package's maintainer scripts, as an operator and a firmware build
#     meet them: the package enables nothing; the operator enables and
#     starts the daemon and the metrics timer; an upgrade (the same package
#     again) keeps them enabled and restarts the daemon, and, with a
#     policy-rc.d that forbids it, starts and restarts nothing; a remove
#     stops the daemon and keeps the operator's links and settings, and a
#     reinstall finds them enabled and starts the daemon; a purge forgets
#     them, and the next install leaves the daemon disabled.
# Exit status 0 when all of that held, 1 when something did not (the guest's
# console and journal are printed), 77 when no virtual machine can be made
# here. With /dev/kvm the guest runs under KVM, otherwise under QEMU's
# software emulation, which is several times slower.
#
# Builds into build-systemd/; keeps the kernel package and the debootstrap
# (as an initramfs) in ${XDG_CACHE_HOME:-~/.cache}/mevrakt-systemd, or
# $MEVRAKT_SYSTEMD_CACHE (delete it to fetch current ones), and the run's
# logs in build-systemd/vm/run/. Needs root, or sudo, for debootstrap and to
# install qemu-system-x86 and debootstrap when they are missing.
set -eu
cd "$(dirname "$0")/../.."

BUILD=build-systemd
VM=$BUILD/vm
RUN=$VM/run
CACHE=${MEVRAKT_SYSTEMD_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/mevrakt-systemd}
SUITE=bookworm
MIRROR=${MEVRAKT_DEBIAN_MIRROR:-http://deb.debian.org/debian}
GUEST_PORT=4001
LATE_DEVICE=/dev/serial/by-id/usb-mevrakt-meter-if00
READS=3
NO_VM=77

. scripts/lib/args.sh
no_arguments "$@"

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi

say() {
  printf 'test-systemd: %s\n' "$*"
}

. scripts/lib/wait.sh
. scripts/lib/ports.sh
. tests/lib/guest.sh

QEMU_PID=
SIM_PID=
FAILED=0

cleanup() {
  status=$?
  trap - EXIT INT TERM
  end_process "$QEMU_PID"
  end_process "$SIM_PID"
  guest_channel_close
  exit "$status"
}

show_guest() {
  [ -f "$RUN/console.log" ] || return 0
  echo "---- guest console ($RUN/console.log) ----"
  tail -n 80 "$RUN/console.log" || true
  if [ -s "$RUN/journal.txt" ]; then
    echo "---- guest journal of mevraktd.service ($RUN/journal.txt) ----"
    cat "$RUN/journal.txt"
  fi
  echo "---- emulator ($RUN/qemu.log) ----"
  cat "$RUN/qemu.log" 2>/dev/null || true
  if [ -s "$RUN/sim.err" ]; then
    echo "---- meter simulator ($RUN/sim.err) ----"
    cat "$RUN/sim.err"
  fi
  echo "----"
}

fail() {
  echo "test-systemd: FAILED: $*" >&2
  if [ "$FAILED" -eq 0 ]; then
    FAILED=1
    # What the guest's journal holds of the daemon, while it still answers.
    if [ -n "$QEMU_PID" ] && ! gone "$QEMU_PID"; then
      guest 30 journalctl -o short-monotonic --no-pager -u mevraktd >"$RUN/journal.txt" 2>&1 || true
    fi
    show_guest >&2
  fi
  exit 1
}

no_vm() {
  echo "test-systemd: SKIPPED: no virtual machine can be made here: $*" >&2
  exit "$NO_VM"
}

# ---------------------------------------------------------------------------
# What the guest is made of

install_tools() {
  need=
  command -v qemu-system-x86_64 >/dev/null 2>&1 || need="$need qemu-system-x86"
  command -v debootstrap >/dev/null 2>&1 || need="$need debootstrap"
  command -v cpio >/dev/null 2>&1 || need="$need cpio"
  command -v depmod >/dev/null 2>&1 || need="$need kmod"
  [ -z "$need" ] && return 0
  say "installing$need"
  {
    $SUDO apt-get update -qq || true
    echo "$need" | DEBIAN_FRONTEND=noninteractive xargs $SUDO apt-get install -y -qq
  } >"$BUILD/apt.log" 2>&1 || true
  command -v qemu-system-x86_64 >/dev/null 2>&1 ||
    no_vm "qemu-system-x86_64 is missing and could not be installed (see $BUILD/apt.log)"
  for tool in debootstrap cpio depmod; do
    command -v "$tool" >/dev/null 2>&1 || fail "$tool is missing and could not be installed (see $BUILD/apt.log)"
  done
}

# True when the emulator can start a machine's CPU with accelerator $1 and,
# if given, CPU model $2. A host may offer KVM and still refuse the guest
# its own CPU's model (a nested host that keeps some of the CPU's registers
# to itself), so the probe starts one as the guest's will be.
can_make_vm() {
  if [ -n "${2-}" ]; then
    set -- -accel "$1" -cpu "$2"
  else
    set -- -accel "$1"
  fi
  # In a subshell of its own, which also takes the shell's word of an
  # emulator that aborted.
  (echo quit | timeout 30 qemu-system-x86_64 "$@" -display none -nodefaults -no-user-config \
    -monitor stdio) >"$BUILD/vm-probe.log" 2>&1 && ! grep -q 'failed to initialize\|error:' "$BUILD/vm-probe.log"
}

# KVM where the machine offers it (with the host's CPU, or without the one
# feature some hosts will not let a guest have); QEMU's own emulation
# otherwise.
pick_accelerator() {
  ACCEL="" CPU=""
  if [ -r /dev/kvm ] && [ -w /dev/kvm ]; then
    for model in host host,-arch-capabilities; do
      if can_make_vm kvm "$model"; then
        ACCEL=kvm CPU=$model ACCEL_NAME="KVM ($model)"
        break
      fi
    done
  fi
  if [ -n "$ACCEL" ]; then
    :
  elif can_make_vm tcg; then
    ACCEL=tcg
    ACCEL_NAME="software emulation (no usable /dev/kvm)"
  else
    cat "$BUILD/vm-probe.log" >&2
    no_vm "qemu-system-x86_64 can make a machine neither with KVM nor with software emulation"
  fi
}

build_programs() {
  jobs=$(nproc 2>/dev/null || echo 2)
  log=$BUILD/build.log
  say "building the programs and the amd64 package into $BUILD/ (output in $log)"
  {
    cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DMEVRAKT_TESTS=OFF -DMEVRAKT_WERROR=ON
    cmake --build "$BUILD" -j"$jobs"
    rm -f "$BUILD"/mevrakt_*.deb
    (cd "$BUILD" && cpack -G DEB)
  } >"$log" 2>&1 || {
    tail -n 30 "$log" >&2
    fail "the build failed (the end of $log is above)"
  }
  DEB=$(ls "$BUILD"/mevrakt_*_amd64.deb)
}

cached_kernel() {
  KERNEL_DEB=
  for deb in "$CACHE"/linux-image-*-amd64_*_amd64.deb; do
    [ ! -f "$deb" ] || KERNEL_DEB=$deb
  done
}

fetch_kernel() {
  mkdir -p "$CACHE"
  cached_kernel
  if [ -n "$KERNEL_DEB" ]; then
    say "kernel from $CACHE: $(basename "$KERNEL_DEB")"
    return 0
  fi
  say "fetching Debian's amd64 kernel into $CACHE"
  kernel_pkg=$(kernel_package linux-image-amd64)
  [ -n "$kernel_pkg" ] || fail "apt knows no amd64 kernel (linux-image-amd64)"
  (cd "$CACHE" && apt_download "$kernel_pkg") || fail "cannot download $kernel_pkg"
  cached_kernel
  [ -n "$KERNEL_DEB" ] || fail "apt-get download left no kernel package in $CACHE"
}

# The guest's root file system, as an uncompressed initramfs (software
# emulation unpacks it faster than it inflates one): made once, then taken
# from the cache.
BASE=$CACHE/$SUITE-systemd.cpio
make_base() {
  if [ -s "$BASE" ]; then
    say "root file system from $BASE"
    return 0
  fi
  root=$CACHE/$SUITE-root
  log=$CACHE/debootstrap.log
  say "debootstrap of $SUITE (minbase, systemd, iproute2) into $root (output in $log)"
  $SUDO rm -rf "$root"
  $SUDO debootstrap --variant=minbase --include=systemd,iproute2 "$SUITE" "$root" "$MIRROR" >"$log" 2>&1 || {
    tail -n 20 "$log" >&2
    fail "debootstrap failed (the end of $log is above)"
  }
  # What a guest that lives for a minute does without.
  $SUDO rm -rf "$root/usr/share/doc" "$root/usr/share/man" "$root/usr/share/info" \
    "$root/usr/share/locale" "$root/var/cache/apt" "$root/var/lib/apt/lists"
  (cd "$root" && $SUDO find . | $SUDO cpio -o -H newc --quiet) >"$BASE.part"
  mv "$BASE.part" "$BASE"
  $SUDO rm -rf "$root"
}

# Added to the base for each run: the package, the guest's network, its
# command line, and the network driver's modules.
make_overlay() {
  kernel=$VM/kernel
  rm -rf "$kernel"
  mkdir -p "$kernel"
  # The kernel, and of its modules the NIC's driver alone.
  dpkg-deb --fsys-tarfile "$KERNEL_DEB" | tar -x -C "$kernel" --wildcards \
    '*/vmlinuz-*' '*/e1000.ko' '*/modules.order' '*/modules.builtin' '*/modules.builtin.modinfo' ||
    fail "cannot unpack $KERNEL_DEB"
  VMLINUZ=$(ls "$kernel"/boot/vmlinuz-*)
  version=${VMLINUZ##*/vmlinuz-}
  modules=$(ls -d "$kernel"/*lib/modules/"$version")

  overlay=$VM/overlay
  rm -rf "$overlay"
  # /lib is a link to usr/lib, as in the base: a directory of that name in
  # this archive would replace the link when the kernel unpacks it.
  mkdir -p "$overlay/root" "$overlay/usr/local/sbin" "$overlay/usr/local/lib" \
    "$overlay/etc/systemd/system/multi-user.target.wants" "$overlay/usr/lib/modules/$version" \
    "$overlay/etc/modules-load.d"
  ln -s usr/lib "$overlay/lib"
  cp "$DEB" "$overlay/root/mevrakt.deb"
  cp tests/systemd/guest-agent.sh "$overlay/usr/local/sbin/mevrakt-agent"
  chmod 755 "$overlay/usr/local/sbin/mevrakt-agent"
  cp tests/lib/guest.sh "$overlay/usr/local/lib/mevrakt-guest.sh"
  cat >"$overlay/etc/systemd/system/mevrakt-agent.service" <<'EOF'
[Unit]
Description=the test's command line on ttyS2
After=systemd-modules-load.service

[Service]
ExecStart=/usr/local/sbin/mevrakt-agent
EOF
  ln -s ../mevrakt-agent.service "$overlay/etc/systemd/system/multi-user.target.wants/mevrakt-agent.service"
  # No udev here: the console's getty would wait for its device forever.
  ln -s /dev/null "$overlay/etc/systemd/system/serial-getty@ttyS0.service"
  echo mevrakt-vm >"$overlay/etc/hostname"

  # The e1000 NIC's driver, loaded by systemd-modules-load.
  file=$(find "$modules/kernel" -name 'e1000.ko*')
  [ -n "$file" ] || fail "the kernel package has no e1000 module"
  mkdir -p "$overlay/lib/modules/$version/kernel/net"
  cp "$file" "$overlay/lib/modules/$version/kernel/net/"
  cp "$modules/modules.order" "$modules/modules.builtin" "$modules/modules.builtin.modinfo" \
    "$overlay/lib/modules/$version/"
  depmod -b "$overlay" "$version" || fail "depmod failed"
  echo e1000 >"$overlay/etc/modules-load.d/mevrakt-vm.conf"

  INITRD=$VM/initrd.cpio
  cp "$BASE" "$INITRD.part"
  (cd "$overlay" && find . | cpio -o -H newc -R 0:0 --quiet) >>"$INITRD.part"
  mv "$INITRD.part" "$INITRD"
}

# ---------------------------------------------------------------------------
# The guest and the host's side of it

guest_ready() {
  gone "$QEMU_PID" || grep -aq '^@@ready' "$RUN/cmd.log"
}

# The guest's UART sends a frame 16 bytes at a time, each batch at an
# interrupt its vCPU must take: starved by a busy host for 100 ms, it splits
# a command, which a meter drops. The emulator and the meter run ahead of
# other work where that is allowed.
PRIORITY=
if nice -n -10 true 2>/dev/null; then
  PRIORITY="nice -n -10"
fi

start_emulator() {
  rm -f "$RUN/console.log" "$RUN/qemu.log"
  set -- -accel "$ACCEL"
  if [ -n "$CPU" ]; then
    set -- "$@" -cpu "$CPU"
  fi
  $PRIORITY qemu-system-x86_64 "$@" -m 1024 -smp 1 \
    -nodefaults -no-user-config -display none -no-reboot \
    -kernel "$VMLINUZ" -initrd "$INITRD" \
    -append "console=ttyS0 rdinit=/lib/systemd/systemd panic=-1 systemd.show_status=false" \
    -chardev file,id=console,path="$RUN/console.log" -serial chardev:console \
    -chardev pty,id=meter -serial chardev:meter \
    -chardev pipe,id=cmd,path="$RUN/cmd" -serial chardev:cmd \
    -nic "user,model=e1000,restrict=on,hostfwd=tcp:127.0.0.1:$PORT1-:$GUEST_PORT" \
    >"$RUN/qemu.log" 2>&1 5>&- &
  QEMU_PID=$!
  if ! wait_until 30 emulator_settled && [ "$ACCEL" = kvm ]; then
    # A nested host can take KVM's every call and still never run the
    # guest's vCPU: emulation then, which is slower but runs.
    kill "$QEMU_PID" 2>/dev/null || true
    wait "$QEMU_PID" 2>/dev/null || true
    say "KVM ($CPU) ran no guest within 30 s: software emulation instead"
    ACCEL=tcg CPU="" ACCEL_NAME="software emulation (KVM ran no guest)"
    start_emulator
    return
  fi
  emulator_settled || fail "the emulator did not start the guest within 30 s"
}

boot() {
  rm -rf "$RUN"
  mkdir -p "$RUN"
  guest_channel_open
  BOOT_START=$(now)
  start_emulator_on_free_ports 1
  PORT=$PORT1
  say "booting the guest under $ACCEL_NAME: $(basename "$VMLINUZ"), systemd as PID 1, port $PORT forwarded to $GUEST_PORT"
  PTY=$(pty_of meter)
  [ -n "$PTY" ] || fail "the emulator tied no pty to the meter's serial port"
  # The meter plays before anything opens its line in the guest.
  $PRIORITY "$BUILD/tools/mevrakt-meter-sim" --stats "$RUN/sim.stats" "$PTY" >"$RUN/sim.out" 2>"$RUN/sim.err" 5>&- &
  SIM_PID=$!
  wait_until 5 test -s "$RUN/sim.out" || fail "the simulator did not start on $PTY"

  wait_until 300 guest_ready || true
  gone "$QEMU_PID" && fail "the emulator ended during the boot"
  grep -aq '^@@ready' "$RUN/cmd.log" || fail "the guest did not come up within 300 s"
  BOOT_TIME=$(since "$BOOT_START")
  say "booted in $BOOT_TIME s; the meter plays on $PTY"
}

# ---------------------------------------------------------------------------
# The story

settings() {
  in_guest "printf '%s\n' MOD_MEVRAKT_ENABLED=1 MOD_MEVRAKT_PROT1_ENABLED=1 \
'MOD_MEVRAKT_PROT1_DEVICE=\"$1\"' MOD_MEVRAKT_PROT1_PORT=$GUEST_PORT MOD_MEVRAKT_PROT2_ENABLED=0 \
>/opt/mevraKT/etc/settings" || fail "cannot write the guest's settings"
}

unit_is() {
  [ "$(guest 20 systemctl is-active mevraktd)" = "$1" ]
}

journal_has() {
  guest 20 journalctl -q -o cat --no-pager -t mevraKT >"$RUN/journal.now" || return 1
  [ "$(grep -cxF "$1" "$RUN/journal.now")" -ge "${2:-1}" ]
}

# An emulated UART on a busy host may stall in the middle of a frame, and the
# daemon then sends the command again: each read is given time for all of
# its sends.
read_meter() {
  timeout 120 "$BUILD/tools/mevrakt-read" --count "$READS" --timeout 30000 "127.0.0.1:$PORT" >"$RUN/$1.out" 2>&1 || {
    cat "$RUN/$1.out" >&2
    fail "reading the meter through port $PORT failed ($1)"
  }
  say "$READS reads through the unit: $(grep '^rtt_ms' "$RUN/$1.out")"
}

# True when mevraktsh status 1 in the guest counts one session and every
# read, and no failure; the report stays in $RUN/status-$1.txt.
status_counts_reads() {
  guest 20 mevraktsh status 1 >"$RUN/status-$1.txt" || return 1
  for expect in "Service:running" "TCP sessions:1" "Commands failed:0" "Responses OK:$READS" "Responses failed:0"; do
    [ "$(report_value "$RUN/status-$1.txt" "${expect%%:*}")" = "${expect#*:}" ] || return 1
  done
}

check_status() {
  within 10 status_counts_reads "$1" || fail "mevraktsh status 1 does not count the reads ($1): $(cat "$RUN/status-$1.txt")"
}

stop_unit() {
  in_guest systemctl stop mevraktd || fail "systemctl stop mevraktd failed"
  unit_is inactive || fail "mevraktd is $(guest 20 systemctl is-active mevraktd) after its stop, not inactive"
  result=$(guest 20 systemctl show -p Result --value mevraktd)
  [ "$result" = success ] || fail "systemd saw mevraktd end with \"$result\""
}

story() {
  guest 120 dpkg -i /root/mevrakt.deb >"$RUN/dpkg.txt" 2>&1 || fail "dpkg -i failed: $(cat "$RUN/dpkg.txt")"
  say "installed $(basename "$DEB"); $(guest 20 mevraktd --version)"
  guest 60 systemd-analyze security mevraktd.service >"$RUN/security.txt" 2>&1 || true
  exposure=$(sed -n 's/.*Overall exposure level for mevraktd.service: \([0-9.]*\).*/\1/p' "$RUN/security.txt")
  [ -n "$exposure" ] || fail "systemd-analyze security gave no exposure: $(cat "$RUN/security.txt")"
  awk -v e="$exposure" 'BEGIN { exit !(e <= 2.5) }' || fail "the unit's exposure is $exposure, more than 2.5"
  say "systemd in the guest rates the unit's exposure $exposure"

  settings /dev/ttyS1
  guest 20 mevraktd --check >"$RUN/check-good.txt" || fail "mevraktd --check refused: $(cat "$RUN/check-good.txt")"
  [ "$(head -n 1 "$RUN/check-good.txt")" = "channel 1: would run on /dev/ttyS1, listening on TCP port $GUEST_PORT" ] ||
    fail "mevraktd --check said: $(cat "$RUN/check-good.txt")"
  say "mevraktd --check: $(head -n 1 "$RUN/check-good.txt")"

  in_guest systemctl start mevraktd || fail "systemctl start mevraktd failed"
  within 30 journal_has "running on /dev/ttyS1, listening on TCP port $GUEST_PORT" ||
    fail "the unit did not open channel 1"
  within 30 in_guest mevraktsh status 1 || fail "mevraktsh does not reach the daemon"
  pid=$(guest 20 systemctl show -p MainPID --value mevraktd)
  caps=$(guest 20 sed -n "'s/^CapEff:[[:space:]]*//p'" "/proc/$pid/status")
  [ "$caps" = 0000000000000000 ] || fail "the daemon runs with capabilities $caps"
  say "mevraktd runs as pid $pid of the unit, with no capability"
  read_meter first
  check_status first
  say "mevraktsh status 1: $(grep -c . "$RUN/status-first.txt") lines, $READS responses, no failure"
  stop_unit
  within 10 journal_has stopped || fail "the journal has no \"stopped\""
  say "systemctl stop: inactive, result success"

  # The adapter comes late: its path appears after the daemon has failed.
  settings "$LATE_DEVICE"
  status=0
  guest 20 mevraktd --check >"$RUN/check-late.txt" || status=$?
  { [ "$status" -eq 1 ] &&
    [ "$(head -n 1 "$RUN/check-late.txt")" = "channel 1: open($LATE_DEVICE) error: No such file or directory" ]; } ||
    fail "mevraktd --check on the missing device said ($status): $(cat "$RUN/check-late.txt")"
  say "mevraktd --check before the adapter: $(head -n 1 "$RUN/check-late.txt") (status 1)"
  in_guest systemctl start mevraktd || fail "systemctl start mevraktd failed"
  within 30 journal_has stopped 2 || fail "the daemon did not stop for want of its device"
  within 30 restarted || fail "systemd did not start the failed daemon again"
  guest 20 journalctl -q -o cat --no-pager -u mevraktd >"$RUN/unit-journal.txt" || true
  grep -q 'Main process exited, code=exited, status=1/FAILURE' "$RUN/unit-journal.txt" ||
    fail "systemd did not see the daemon fail with status 1: $(cat "$RUN/unit-journal.txt")"
  say "the daemon failed with status 1 and systemd starts it again ($(guest 20 systemctl show -p NRestarts mevraktd))"
  in_guest "mkdir -p ${LATE_DEVICE%/*} && ln -s /dev/ttyS1 $LATE_DEVICE" || fail "cannot make $LATE_DEVICE"
  within 30 journal_has "running on $LATE_DEVICE, listening on TCP port $GUEST_PORT" ||
    fail "no restart took the late device"
  unit_is active || fail "mevraktd is not active once its device came"
  say "the adapter came: $(guest 20 systemctl show -p NRestarts mevraktd), channel 1 runs on $LATE_DEVICE"
  within 30 in_guest mevraktsh status 1 || fail "mevraktsh does not reach the restarted daemon"
  read_meter late
  check_status late
  stop_unit

  guest 20 journalctl -q -o cat --no-pager -t mevraKT >"$RUN/journal.txt" || fail "cannot read the journal"
  guest 20 journalctl -q -o cat --no-pager -t mevraKT -p err >"$RUN/errors.txt" || true
  starts=$(grep -cx started "$RUN/journal.txt" || true)
  stops=$(grep -cx stopped "$RUN/journal.txt" || true)
  { [ "$starts" -ge 3 ] && [ "$starts" -eq "$stops" ]; } ||
    fail "the journal has $starts \"started\" and $stops \"stopped\""
  unexpected=$(grep -vxF -e "open($LATE_DEVICE) error: No such file or directory" \
    -e "channel 1 on $LATE_DEVICE, TCP port $GUEST_PORT, not running: its serial line did not open" \
    "$RUN/errors.txt" || true)
  [ -z "$unexpected" ] || fail "mevraktd logged errors: $unexpected"
  say "the journal: $starts runs, each \"started\" and \"stopped\"; errors only for the late device ($(grep -c . "$RUN/errors.txt"))"
}

# ---------------------------------------------------------------------------
# The maintainer scripts

enabled_is() {
  [ "$(guest 20 systemctl is-enabled "$1" 2>/dev/null)" = "$2" ]
}

main_pid() {
  guest 20 systemctl show -p MainPID --value mevraktd
}

# dpkg with the given arguments, its output in $RUN/dpkg-$1.txt.
dpkg_step() {
  step=$1
  shift
  guest 120 dpkg "$@" >"$RUN/dpkg-$step.txt" 2>&1 || fail "dpkg $* failed: $(cat "$RUN/dpkg-$step.txt")"
}

story_package() {
  enabled_is mevraktd disabled || fail "the package enabled mevraktd: $(guest 20 systemctl is-enabled mevraktd)"
  enabled_is mevrakt-textfile.timer disabled || fail "the package enabled mevrakt-textfile.timer"
  in_guest "ls /etc/rc2.d/K[0-9][0-9]mevraktd" || fail "update-rc.d left no disabled link for the init script"
  settings /dev/ttyS1
  in_guest systemctl enable --now mevraktd mevrakt-textfile.timer || fail "systemctl enable --now failed"
  within 30 journal_has "running on /dev/ttyS1, listening on TCP port $GUEST_PORT" 2 ||
    fail "the enabled unit did not open channel 1"
  pid=$(main_pid)
  say "package: installed disabled; the operator enabled and started mevraktd (pid $pid) and the timer"

  dpkg_step upgrade -i /root/mevrakt.deb
  enabled_is mevraktd enabled || fail "the upgrade disabled mevraktd"
  enabled_is mevrakt-textfile.timer enabled || fail "the upgrade disabled mevrakt-textfile.timer"
  within 30 unit_is active || fail "mevraktd is not active after the upgrade"
  new=$(main_pid)
  { [ "$new" != "$pid" ] && [ "$new" != 0 ]; } || fail "the upgrade did not restart mevraktd (pid $pid, then $new)"
  say "package: an upgrade kept both enabled and restarted mevraktd (pid $pid, now $new)"

  in_guest "printf '%s\\n' '#!/bin/sh' 'exit 101' >/usr/sbin/policy-rc.d && chmod 755 /usr/sbin/policy-rc.d" ||
    fail "cannot write policy-rc.d"
  dpkg_step policy -i /root/mevrakt.deb
  in_guest rm -f /usr/sbin/policy-rc.d
  [ "$(main_pid)" = "$new" ] || fail "an upgrade under policy-rc.d 101 restarted mevraktd"
  grep -q 'policy-rc.d returned 101' "$RUN/dpkg-policy.txt" ||
    fail "deb-systemd-invoke did not ask policy-rc.d: $(cat "$RUN/dpkg-policy.txt")"
  say "package: with policy-rc.d saying 101, an upgrade left mevraktd (pid $new) alone"

  dpkg_step remove -r mevrakt
  unit_is inactive || fail "mevraktd is $(guest 20 systemctl is-active mevraktd) after the remove"
  in_guest test ! -e /usr/sbin/mevraktd || fail "the remove left /usr/sbin/mevraktd"
  in_guest test -L /etc/systemd/system/multi-user.target.wants/mevraktd.service ||
    fail "the remove dropped the operator's link for mevraktd"
  in_guest test -L /etc/systemd/system/timers.target.wants/mevrakt-textfile.timer ||
    fail "the remove dropped the operator's link for the timer"
  in_guest grep -q ttyS1 /opt/mevraKT/etc/settings || fail "the remove dropped the settings"
  in_guest test ! -x /etc/init.d/mevraktd || fail "the removed package's init script is still runnable"
  say "package: a remove stopped mevraktd and kept the settings and the operator's links"

  dpkg_step reinstall -i /root/mevrakt.deb
  enabled_is mevraktd enabled || fail "mevraktd is not enabled after the reinstall"
  enabled_is mevrakt-textfile.timer enabled || fail "mevrakt-textfile.timer is not enabled after the reinstall"
  within 30 unit_is active || fail "the reinstall did not start the enabled mevraktd"
  in_guest test -x /etc/init.d/mevraktd || fail "the reinstall left the init script not runnable"
  say "package: a reinstall found both enabled and started mevraktd (pid $(main_pid))"

  dpkg_step purge -P mevrakt
  unit_is inactive || fail "mevraktd is $(guest 20 systemctl is-active mevraktd) after the purge"
  for path in /etc/systemd/system/multi-user.target.wants/mevraktd.service \
    /etc/systemd/system/timers.target.wants/mevrakt-textfile.timer /opt/mevraKT/etc/settings \
    /etc/init.d/mevraktd; do
    in_guest test ! -e "$path" -a ! -L "$path" || fail "the purge left $path"
  done
  ! in_guest "ls /etc/rc[0-6S].d/[SK][0-9][0-9]mevraktd" || fail "the purge left links in /etc/rc?.d"
  dpkg_step fresh -i /root/mevrakt.deb
  enabled_is mevraktd disabled || fail "mevraktd is $(guest 20 systemctl is-enabled mevraktd) after purge and install"
  unit_is inactive || fail "a fresh install after the purge started mevraktd"
  say "package: a purge forgot both, and the next install left mevraktd disabled and stopped"
}

restarted() {
  n=$(guest 20 systemctl show -p NRestarts --value mevraktd)
  [ "${n:-0}" -ge 1 ]
}

# Stops the simulator and checks that the meter answered every read.
stop_meter() {
  kill -TERM "$SIM_PID" 2>/dev/null || true
  wait_until 5 gone "$SIM_PID" || fail "the simulator did not stop"
  wait "$SIM_PID" || true
  SIM_PID=
  good=$(sed -n 's/^commands_good=//p' "$RUN/sim.stats" 2>/dev/null)
  [ "${good:-0}" -ge $((2 * READS)) ] || fail "the meter received ${good:-no} good commands, fewer than the reads"
  say "the meter counted: $(grep -v '^seed=\|=0$' "$RUN/sim.stats" | tr '\n' ' ' | sed 's/ $//')"
}

power_off() {
  guest_last_words systemctl poweroff
  wait_until 120 gone "$QEMU_PID" || fail "the guest did not power off within 120 s"
  wait "$QEMU_PID" || true
  QEMU_PID=
}

# ---------------------------------------------------------------------------

START=$(now)
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$BUILD"
install_tools
pick_accelerator
build_programs
fetch_kernel
make_base
make_overlay
PREPARED=$(since "$START")

boot
STORY_START=$(now)
story
story_package
STORY_TIME=$(since "$STORY_START")
power_off
stop_meter
say "ok: boot $BOOT_TIME s, story $STORY_TIME s, build and image $PREPARED s, in all $(since "$START") s ($ACCEL_NAME)"
