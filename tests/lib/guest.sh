# shellcheck shell=sh
# SPDX-License-Identifier: MIT
# The command line between a test script and the machine it boots under
# QEMU (tests/board/test-board.sh, tests/systemd/test-systemd.sh), both its
# ends, and what the scripts share in making and starting that machine.
# Sourced, never run. The host's side needs scripts/lib/wait.sh,
# scripts/lib/ports.sh, $RUN (the run's folder) and the script's own fail,
# say and start_emulator.
#
# The host writes "ID COMMAND" to a serial port of the guest; the guest runs
# the command and answers "@@begin ID", the command's output and
# "@@end ID STATUS".

# The guest's side: serves the commands that come on standard input,
# answering on standard output, until it closes.
guest_serve() {
  while IFS= read -r line; do
    id=${line%% *}
    echo "@@begin $id"
    (eval "${line#* }") </dev/null 2>&1
    echo "@@end $id $?"
  done
}

# Makes the pipes behind the emulator's "pipe" character device at $RUN/cmd
# and holds both their ends open here, so that neither this script nor the
# emulator ever blocks on opening them: commands go out on descriptor 5, and
# the answers are drained all along into $RUN/cmd.log.
guest_channel_open() {
  mkfifo "$RUN/cmd.in" "$RUN/cmd.out"
  cat <>"$RUN/cmd.out" >"$RUN/cmd.log" &
  GUEST_DRAIN_PID=$!
  exec 5<>"$RUN/cmd.in"
}

# Ends what guest_channel_open started, if it did.
guest_channel_close() {
  end_process "${GUEST_DRAIN_PID:-}"
  GUEST_DRAIN_PID=
}

# The number the next command takes. The count lives in a file, so that a
# call in a subshell counts too.
guest_next_id() {
  echo $(($(cat "$RUN/seq" 2>/dev/null || echo 0) + 1)) >"$RUN/seq"
  cat "$RUN/seq"
}

# Runs a command line in the guest within $1 seconds; prints its output and
# returns its status (124 when no answer came in time).
guest() {
  limit=$1
  shift
  id=$(guest_next_id)
  printf '%s %s\n' "$id" "$*" >&5
  wait_until "$limit" grep -aq "^@@end $id " "$RUN/cmd.log" || {
    echo "$(basename "$0" .sh): the guest did not answer \"$*\" within $limit s" >&2
    return 124
  }
  awk -v id="$id" '$0 == "@@begin " id { on = 1; next }
    $1 == "@@end" && $2 == id { exit } on' "$RUN/cmd.log"
  return "$(sed -n "s/^@@end $id //p" "$RUN/cmd.log")"
}

# True when a command line succeeds in the guest.
in_guest() {
  guest 20 "$@" >/dev/null
}

# Sends a command line that ends the guest, without waiting for an answer.
guest_last_words() {
  printf '%s %s\n' "$(guest_next_id)" "$*" >&5
}

# Tries a command every 0.2 s until it succeeds, for at most $1 seconds; for
# commands that take a while themselves, as those that ask the guest do.
within() {
  deadline=$(($(date +%s) + $1))
  shift
  until "$@"; do
    [ "$(date +%s)" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

# The host pty the emulator tied to the serial port labelled $1.
pty_of() {
  sed -n "s|^char device redirected to \(/dev/pts/[0-9]*\) (label $1)\$|\1|p" "$RUN/qemu.log"
}

# True once the emulator has ended, or runs the guest: it has set up every
# device and back end by the time the kernel writes to the console.
emulator_settled() {
  gone "$QEMU_PID" || [ -s "$RUN/console.log" ]
}

# Starts the emulator (the script's start_emulator, which forwards $PORT1,
# and $PORT2 when $1 is 2) on ports picked free; a port taken between the
# look and the emulator's bind makes it try others.
start_emulator_on_free_ports() {
  for try in 1 2 3; do
    pick_ports "$1" || fail "found no free TCP ports"
    start_emulator
    if ! gone "$QEMU_PID" || ! grep -q 'Could not set up host forwarding' "$RUN/qemu.log"; then
      break
    fi
    wait "$QEMU_PID" || true
    QEMU_PID=
    say "ports from $PORT1 were taken (try $try)"
  done
  if gone "$QEMU_PID"; then
    fail "the emulator ended at the start"
  fi
}

# Value of report line $2 in status report file $1.
report_value() {
  sed -n "s/^$2 *: //p" "$1"
}

# apt-get download, as root too, into the current folder.
apt_download() {
  apt-get download -q -o APT::Sandbox::User=root "$@" >/dev/null
}

# The kernel package of the day that the package $1 (linux-image-armmp:armhf,
# linux-image-amd64) always names; nothing when apt knows none.
kernel_package() {
  pkg=$(apt-cache depends "$1" 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[^: ]*\).*/\1/p' | head -n 1)
  if [ -z "$pkg" ]; then
    $SUDO apt-get update -qq >&2
    pkg=$(apt-cache depends "$1" | sed -n 's/^ *Depends: \(linux-image-[^: ]*\).*/\1/p' | head -n 1)
  fi
  echo "$pkg"
}
