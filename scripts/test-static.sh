#!/bin/sh
# SPDX-License-Identifier: MIT
# Proves that the static x86-64 mevraktd and mevraktsh need nothing from the
# system they run on: the daemon's story inside mevrakt-sandbox --root, whose
# whole file system is the unpacked release tarball of
# scripts/build-static.sh (no C library, no loader, no shell; the sandbox
# adds only its own /dev, /proc, /run, /opt and /tmp):
#   - the root holds no shared library, and every program in it is static;
#   - its relink kit links the programs again, byte for byte, and every
#     library they hold has its licence in the tarball (for glibc, the
#     LGPL-2.1 text and its version; for GCC's runtime, its exception);
#   - settings put channel 1 on a pty where mevrakt-meter-sim, on the host,
#     plays the meter; the static daemon starts ("shell started");
#   - mevrakt-read reads the meter through the channel's TCP port;
#   - the static mevraktsh, run inside that root (nsenter), answers
#     "status 1" and counts every read;
#   - SIGTERM stops the daemon with status 0, and its log says "stopped".
#
#   scripts/test-static.sh
#
# Builds into build-static-x86_64/ (the static programs and the tarball) and
# build-static-host/ (the sandbox, simulator and reader); the run's logs
# stay in build-static-x86_64/run/. Exit status 0 only if every step held.
# Needs root, or unprivileged user namespaces, as the sandbox does.
set -eu
cd "$(dirname "$0")/.."

BUILD=build-static-x86_64
HOST_BUILD=build-static-host
RUN=$BUILD/run
READS=3

. scripts/lib/args.sh
no_arguments "$@"

say() {
  printf 'test-static: %s\n' "$*"
}

. scripts/lib/wait.sh
. scripts/lib/ports.sh

SIM_PID=
SANDBOX_PID=
cleanup() {
  status=$?
  trap - EXIT INT TERM
  end_process "$SANDBOX_PID"
  end_process "$SIM_PID"
  exit "$status"
}

fail() {
  echo "test-static: FAILED: $*" >&2
  for file in "$RUN/syslog" "$RUN/sandbox.err" "$RUN/sim.err"; do
    if [ -s "$file" ]; then
      echo "---- $file ----" >&2
      cat "$file" >&2
    fi
  done
  exit 1
}

logged() {
  grep -q "mevraKT\[[0-9]*\]: $1\$" "$RUN/syslog" 2>/dev/null
}

report_value() {
  sed -n "s/^$2 *: //p" "$1"
}

trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

scripts/build-static.sh x86_64
tarball=$(ls "$BUILD"/mevrakt-*-x86_64-static.tar.gz)
jobs=$(nproc 2>/dev/null || echo 2)
say "building the sandbox, the simulator and the reader into $HOST_BUILD/"
mkdir -p "$HOST_BUILD"
{
  cmake -S . -B "$HOST_BUILD" -DMEVRAKT_TESTS=OFF -DMEVRAKT_WERROR=ON
  cmake --build "$HOST_BUILD" -j"$jobs" --target mevrakt-sandbox mevrakt-meter-sim mevrakt-read
} >"$HOST_BUILD/build.log" 2>&1 || {
  tail -n 30 "$HOST_BUILD/build.log" >&2
  fail "the build failed (the end of $HOST_BUILD/build.log is above)"
}

rm -rf "$RUN"
mkdir -p "$RUN/unpacked"
tar -xzf "$tarball" -C "$RUN/unpacked"
ROOT=$(ls -d "$RUN"/unpacked/mevrakt-*)

# What the root holds: no library at all, and no program that would ask
# for one.
libraries=$(find "$ROOT" -name '*.so' -o -name '*.so.*' -o -name 'ld-linux*')
[ -z "$libraries" ] || fail "the root holds libraries: $libraries"
find "$ROOT" -type f >"$RUN/files"
while read -r file; do
  if [ "$(head -c 4 "$file" | od -An -c | tr -d ' ')" = '177ELF' ]; then
    ! readelf -lW "$file" | grep -q INTERP || fail "$file asks for a dynamic loader"
    ! readelf -dW "$file" | grep -q NEEDED || fail "$file needs a library"
  fi
done <"$RUN/files"
say "the root, $tarball unpacked: $(find "$ROOT" -type f | wc -l) files, no library; its programs:"
for file in "$ROOT"/usr/sbin/mevraktd "$ROOT"/usr/bin/mevraktsh; do
  printf '    %s: %s, %s, no interpreter, needs no library\n' "${file#"$ROOT"}" \
    "$(readelf -hW "$file" | sed -n 's/^ *Machine: *//p')" "$(readelf -hW "$file" | sed -n 's/^ *Type: *//p')"
done

# What the binaries hold of other people's work, and what its licences ask
# for, are in the tarball. The relink kit links the programs again from
# their objects: byte for byte the released ones once stripped, which the
# story below runs. Each file that link reads from the system comes from a
# Debian package whose copyright file the tarball carries, word for word;
# glibc's with the LGPL-2.1 text and the version of the library, GCC's
# runtime with the GPL-3 text and its exception.
doc=$ROOT/usr/share/doc/mevrakt
[ -x "$doc/relink/relink.sh" ] || fail "the tarball has no relink kit"
cmp -s LICENSE "$doc/copyright" || fail "the tarball's copyright is not mevraKT's licence"
LDFLAGS=-Wl,-t,-t "$doc/relink/relink.sh" "$RUN/relinked" >"$RUN/relink.trace" 2>&1 || {
  cat "$RUN/relink.trace" >&2
  fail "the relink kit does not link"
}
for program in usr/sbin/mevraktd usr/bin/mevraktsh; do
  relinked=$RUN/relinked/${program##*/}
  strip --remove-section=.comment --remove-section=.note --strip-unneeded "$relinked"
  cmp -s "$relinked" "$ROOT/$program" || fail "the relink kit does not make the released $program"
done
"$RUN/relinked/mevraktd" --version | grep -q "^mevraktd (mevraKT) " || fail "the relinked mevraktd does not run"
# ld -t -t names each archive member it takes as "(archive)member", and each
# object file as its path.
sed -n 's|^(\(/[^)]*\)).*|\1|p; s|^\(/[^ (]*\.o\)$|\1|p' "$RUN/relink.trace" | sort -u >"$RUN/linked"
held=
while read -r file; do
  package=$(dpkg -S "$(readlink -f "$file")" | sed 's/[:,].*//')
  cmp -s "/usr/share/doc/$package/copyright" "$doc/licences/$package.copyright" ||
    fail "the programs hold $file, of $package, whose copyright file the tarball lacks"
  case $package in
    libc6-dev*)
      cmp -s /usr/share/common-licenses/LGPL-2.1 "$doc/LGPL-2.1" || fail "the tarball lacks the LGPL-2.1 text"
      case $file in
        */libc.a)
          version=$(strings -a "$file" | grep -m 1 '^GNU C Library')
          grep -qF "$version" "$doc/LICENCES" || fail "LICENCES does not name $version"
          ;;
      esac
      ;;
    libgcc-*-dev* | libstdc++-*-dev*)
      cmp -s /usr/share/common-licenses/GPL-3 "$doc/GPL-3" || fail "the tarball lacks the GPL-3 text"
      grep -q 'GCC RUNTIME LIBRARY EXCEPTION' "$doc/licences/$package.copyright" ||
        fail "the tarball lacks the GCC Runtime Library Exception"
      ;;
    *) fail "the programs hold $file, of $package, which this test knows no licence of" ;;
  esac
  case " $held " in *" $package "*) ;; *) held="$held $package" ;; esac
done <"$RUN/linked"
[ -n "$held" ] || fail "the relink read nothing from the system"
say "the relink kit makes the released programs again; the licences of what they hold are in the tarball:$held"

"$HOST_BUILD/tools/mevrakt-meter-sim" --stats "$RUN/sim.stats" >"$RUN/sim.out" 2>"$RUN/sim.err" &
SIM_PID=$!
wait_until 5 test -s "$RUN/sim.out" || fail "the simulator did not start"
PTY=$(head -n 1 "$RUN/sim.out")
pick_ports 1 || fail "found no free TCP port"
PORT=$PORT1
printf 'MOD_MEVRAKT_ENABLED=1\nMOD_MEVRAKT_PROT1_ENABLED=1\nMOD_MEVRAKT_PROT1_DEVICE="%s"\nMOD_MEVRAKT_PROT1_PORT=%s\nMOD_MEVRAKT_PROT2_ENABLED=0\n' \
  "$PTY" "$PORT" >"$RUN/settings"

: >"$RUN/syslog"
"$HOST_BUILD/sandbox/mevrakt-sandbox" --keep-net --root "$ROOT" --settings "$RUN/settings" \
  --log "$RUN/syslog" -- /usr/sbin/mevraktd 2>"$RUN/sandbox.err" &
SANDBOX_PID=$!
wait_until 10 logged 'shell started.*' || fail "the static mevraktd did not start its shell"
say "the static mevraktd runs in the root, channel 1 on $PTY, TCP port $PORT"

# The sandbox's PID 1, whose root and mounts the daemon shares.
init=$(tr -d ' ' 2>/dev/null <"/proc/$SANDBOX_PID/task/$SANDBOX_PID/children")
[ -n "$init" ] || fail "cannot find the sandbox's first process"
seen=$(cd "/proc/$init/root" && find . -path ./proc -prune -o -path ./dev -prune -o -type f -print | sort)
! printf '%s\n' "$seen" | grep -q '\.so' || fail "the daemon's root shows libraries: $seen"
say "the daemon's / holds: $(printf '%s\n' "$seen" | tr '\n' ' ')"

timeout 60 "$HOST_BUILD/tools/mevrakt-read" --count "$READS" "127.0.0.1:$PORT" >"$RUN/read.out" 2>&1 || {
  cat "$RUN/read.out" >&2
  fail "reading the meter through port $PORT failed"
}
say "$READS reads through the static daemon: $(grep '^rtt_ms' "$RUN/read.out")"

# mevraktsh in the daemon's root and mount namespace, in its user namespace
# too where the sandbox made one.
enter="nsenter --target $init --mount --root --wd"
if [ "$(readlink "/proc/$init/ns/user")" != "$(readlink /proc/self/ns/user)" ]; then
  enter="$enter --user --preserve-credentials"
fi
status_counts() {
  $enter /usr/bin/mevraktsh status 1 >"$RUN/status.txt" 2>"$RUN/status.err" || return 1
  [ "$(report_value "$RUN/status.txt" 'TCP sessions')" = 1 ] &&
    [ "$(report_value "$RUN/status.txt" 'Responses OK')" = "$READS" ] &&
    [ "$(report_value "$RUN/status.txt" 'Commands failed')" = 0 ]
}
wait_until 10 status_counts ||
  fail "the static mevraktsh status 1 does not count the reads: $(cat "$RUN/status.txt" "$RUN/status.err")"
say "the static mevraktsh status 1, run in that root:"
sed 's/^/    /' "$RUN/status.txt"

kill -TERM "$SANDBOX_PID"
status=0
wait "$SANDBOX_PID" || status=$?
SANDBOX_PID=
[ "$status" -eq 0 ] || fail "the daemon ended with status $status after SIGTERM"
logged stopped || fail "the log has no \"stopped\""
say "SIGTERM: status 0, \"stopped\"; the daemon's log:"
sed 's/^/    /' "$RUN/syslog"
end_process "$SIM_PID"
SIM_PID=
say "ok"
