#!/bin/sh
# SPDX-License-Identifier: MIT
# Proves that the programs build and work on musl, the C library of
# Buildroot's and OpenWrt's firmware:
#   - every source of the programs and the field tools compiles against
#     musl's headers (Debian's musl-dev), warnings as errors;
#   - mevraktd, mevraktsh, mevrakt-meter-sim and mevrakt-read link with
#     musl's libc alone (static-pie; no C++ library, no glibc);
#   - the demo (demo/demo.sh) runs on those four programs and passes.
#
#   scripts/check-musl.sh
#
# Debian has no C++ compiler for musl: the system's g++ compiles with musl's
# headers and links with musl's libc (cmake/toolchain-x86_64-linux-musl.cmake
# says how). Builds into build-musl/ (the musl programs) and
# build-musl-host/ (the sandbox the demo runs in, which is a developer's
# tool and needs the C++ library). Prints the stripped programs' sizes.
# Installs musl-dev the first time (root or sudo).
set -eu
cd "$(dirname "$0")/.."

BUILD=build-musl
HOST_BUILD=build-musl-host
PROGRAMS="daemon/mevraktd shell/mevraktsh tools/mevrakt-meter-sim tools/mevrakt-read"

. scripts/lib/args.sh
no_arguments "$@"

say() {
  printf 'check-musl: %s\n' "$*"
}

fail() {
  echo "check-musl: FAILED: $*" >&2
  exit 1
}

scripts/setup.sh musl-dev
jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p "$BUILD" "$HOST_BUILD"
log=$BUILD/build.log
say "building the programs on musl into $BUILD/ (output in $log)"
{
  cmake -S . -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-linux-musl.cmake \
    -DCMAKE_BUILD_TYPE=Release -DMEVRAKT_TESTS=OFF -DMEVRAKT_STATIC=ON -DMEVRAKT_WERROR=ON
  cmake --build "$BUILD" -j"$jobs" --target mevraktd mevraktsh mevrakt-meter-sim mevrakt-read
} >"$log" 2>&1 || {
  tail -n 30 "$log" >&2
  fail "the musl build failed (the end of $log is above)"
}

# Every source of the shipped programs was compiled in that build: a new
# one that the four targets do not reach would go unchecked.
missed=
for source in $(find common daemon nbr14522 serial tcp_server shell tools -name '*.cc' | sort); do
  set -- "$BUILD/${source%/*}"/CMakeFiles/*.dir/"${source##*/}.o"
  [ -f "$1" ] || missed="$missed $source"
done
[ -z "$missed" ] || fail "not compiled against musl:$missed"

# musl's, and only musl's: its start-up code in, no glibc version or
# loader, no library needed at run time.
for program in $PROGRAMS; do
  file=$BUILD/$program
  nm "$file" | grep -q ' __init_libc$' || fail "$program does not hold musl's libc"
  ! strings "$file" | grep -q 'GLIBC_[0-9]' || fail "$program holds glibc's symbols"
  ! readelf -lW "$file" | grep -q INTERP || fail "$program asks for a dynamic loader"
  ! readelf -dW "$file" | grep -q NEEDED || fail "$program needs a library"
done
say "every source of the programs compiled against musl's headers; all four link with musl's libc alone"

say "building the sandbox for the demo into $HOST_BUILD/"
{
  cmake -S . -B "$HOST_BUILD" -DMEVRAKT_TESTS=OFF -DMEVRAKT_WERROR=ON
  cmake --build "$HOST_BUILD" -j"$jobs" --target mevrakt-sandbox
} >"$HOST_BUILD/build.log" 2>&1 || {
  tail -n 30 "$HOST_BUILD/build.log" >&2
  fail "the build failed (the end of $HOST_BUILD/build.log is above)"
}

# The demo takes a build folder's layout: the musl programs, the host's
# sandbox.
demo=$BUILD/demo
rm -rf "$demo"
mkdir -p "$demo/daemon" "$demo/shell" "$demo/tools" "$demo/sandbox"
for program in $PROGRAMS; do
  ln -s "$(pwd)/$BUILD/$program" "$demo/$program"
done
ln -s "$(pwd)/$HOST_BUILD/sandbox/mevrakt-sandbox" "$demo/sandbox/mevrakt-sandbox"
demo/demo.sh --no-build --build-dir "$demo" >"$BUILD/demo.log" 2>&1 || {
  cat "$BUILD/demo.log" >&2
  fail "the demo failed on the musl programs (its story is above)"
}
say "the demo passed on the musl programs ($BUILD/demo.log)"

for program in $PROGRAMS; do
  strip --strip-unneeded --remove-section=.comment --remove-section=.note \
    -o "$BUILD/${program##*/}.stripped" "$BUILD/$program"
  say "$(printf '%-18s %8s bytes stripped, x86_64, musl, static-pie' "${program##*/}" \
    "$(wc -c <"$BUILD/${program##*/}.stripped")")"
done
say "ok"
