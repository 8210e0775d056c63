#!/bin/sh
# SPDX-License-Identifier: MIT
# Cross-builds mevraKT for an ARM board, runs every test under qemu user
# emulation and checks the board's Debian package; exits non-zero on failure.
#
#   scripts/test-arm.sh [arm|aarch64]    (default arm: 32-bit, hard-float)
#
# Needs root, or sudo, the first time on a machine: it installs the cross
# compiler and qemu, and registers qemu with the kernel's binfmt_misc so that
# the tests can start the ARM programs as child processes.
set -eu
cd "$(dirname "$0")/.."

case "${1:-arm}" in
  arm) triplet=arm-linux-gnueabihf qemu=arm build=build-arm debarch=armhf ;;
  aarch64 | arm64) triplet=aarch64-linux-gnu qemu=aarch64 build=build-arm64 debarch=arm64 ;;
  *) echo "usage: $0 [arm|aarch64]" >&2; exit 2 ;;
esac

scripts/setup.sh "g++-$triplet" googletest qemu-user-static binfmt-support

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi

# The kernel runs an ARM program that another program starts through the
# interpreter registered for its ELF header. Without systemd nothing mounts
# binfmt_misc or loads the registrations that qemu-user-static ships.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/register" ]; then
  $SUDO mount -t binfmt_misc binfmt_misc "$binfmt"
fi
enabled() {
  grep -qx enabled "$binfmt/qemu-$qemu" 2>/dev/null
}
if ! enabled; then
  $SUDO update-binfmts --enable "qemu-$qemu" || true
fi
# Without binfmt-support's records, the registration systemd would load.
if ! enabled && [ -r "/usr/lib/binfmt.d/qemu-$qemu.conf" ]; then
  $SUDO sh -c "cat /usr/lib/binfmt.d/qemu-$qemu.conf > $binfmt/register" || true
fi
if ! enabled; then
  echo "test-arm: the kernel does not run $qemu programs through qemu (binfmt_misc)" >&2
  exit 1
fi

# Programs started through binfmt_misc find the target's loader here; the
# build's own emulator command sets the same for what ctest starts.
QEMU_LD_PREFIX=/usr/$triplet
export QEMU_LD_PREFIX

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$triplet.cmake" -DMEVRAKT_WERROR=ON
cmake --build "$build" -j"$jobs"
scripts/check-package.sh "$build" "$debarch"
ctest --test-dir "$build" --output-on-failure -j"$jobs"
