#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds mevraktd and mevraktsh linked fully statically, for firmware that
# has no Debian C library (Buildroot, Yocto, OpenWrt, often on musl), and
# packs the release tarball beside the Debian packages:
#
#   scripts/build-static.sh [x86_64|armhf|aarch64]     (default x86_64)
#
# The C and C++ libraries are Debian's own (glibc and libstdc++, static),
# for x86-64 and the two ARM boards alike, with the hardening of the
# packages (static-pie where the C library has it: not on 32-bit ARM). The
# link fails if a program would still need a shared library at run time,
# as the C library's name services would; each binary is then checked to
# have no interpreter and no needed library.
#
# Builds into build-static-ARCH/ and leaves there
# mevrakt-VERSION-ARCH-static.tar.gz: one folder laid out as the files go on
# a board (usr/sbin/mevraktd, usr/bin/mevraktsh, their manual pages and
# mevrakt-settings(5), the systemd unit, the init script, the example
# settings at /opt/mevraKT/etc/settings, the licence). Prints the size of
# each stripped binary. Installs the cross compiler the first time (root
# or sudo).
set -eu
cd "$(dirname "$0")/.."

case "${1:-x86_64}" in
  x86_64 | amd64) arch=x86_64 triplet='' machine="Advanced Micro Devices X86-64" ;;
  armhf | arm) arch=armhf triplet=arm-linux-gnueabihf machine="ARM" ;;
  aarch64 | arm64) arch=aarch64 triplet=aarch64-linux-gnu machine="AArch64" ;;
  -h | --help)
    sed -n '2,/^set -eu/p' "$0" | sed '/^# SPDX-License-Identifier:/d; $d; s/^# \{0,1\}//'
    exit 0
    ;;
  *) echo "usage: $0 [x86_64|armhf|aarch64]" >&2; exit 2 ;;
esac

say() {
  printf 'build-static: %s\n' "$*"
}

fail() {
  echo "build-static: FAILED: $*" >&2
  exit 1
}

build=build-static-$arch
if [ -n "$triplet" ]; then
  scripts/setup.sh "g++-$triplet"
  toolchain=-DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$triplet.cmake
  strip=$triplet-strip
else
  scripts/setup.sh
  toolchain=
  strip='strip'
fi

jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p "$build"
log=$build/build.log
say "building the static $arch programs into $build/ (output in $log)"
{
  cmake -S . -B "$build" ${toolchain:+"$toolchain"} -DCMAKE_BUILD_TYPE=Release -DMEVRAKT_TESTS=OFF \
    -DMEVRAKT_STATIC=ON -DMEVRAKT_WERROR=ON
  cmake --build "$build" -j"$jobs" --target mevraktd mevraktsh man-pages
} >"$log" 2>&1 || {
  tail -n 30 "$log" >&2
  fail "the build failed (the end of $log is above)"
}
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"

name=mevrakt-$version-$arch-static
stage=$build/stage
top=$stage/$name
rm -rf "$stage"
mkdir -p "$top/usr/sbin" "$top/usr/bin" "$top/usr/share/man/man1" "$top/usr/share/man/man5" \
  "$top/usr/share/man/man8" "$top/usr/lib/systemd/system" "$top/etc/init.d" "$top/opt/mevraKT/etc" \
  "$top/usr/share/doc/mevrakt"

# Stripped as the Debian package's programs are.
for program in daemon/mevraktd:usr/sbin/mevraktd shell/mevraktsh:usr/bin/mevraktsh; do
  "$strip" --remove-section=.comment --remove-section=.note --strip-unneeded \
    -o "$top/${program#*:}" "$build/${program%%:*}"
done
for program in usr/sbin/mevraktd usr/bin/mevraktsh; do
  file=$top/$program
  readelf -h "$file" | grep -q "Machine: *$machine\$" || fail "$program is not built for $arch"
  ! readelf -lW "$file" | grep -q 'INTERP' || fail "$program asks for a dynamic loader"
  needed=$(readelf -dW "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  [ -z "$needed" ] || fail "$program needs $needed"
done

cp "$build/dist/man/mevraktd.8.gz" "$top/usr/share/man/man8/"
cp "$build/dist/man/mevraktsh.1.gz" "$top/usr/share/man/man1/"
cp "$build/dist/man/mevrakt-settings.5.gz" "$top/usr/share/man/man5/"
sed 's|@MEVRAKTD@|/usr/sbin/mevraktd|g' dist/mevraktd.service.in >"$top/usr/lib/systemd/system/mevraktd.service"
sed 's|@MEVRAKTD@|/usr/sbin/mevraktd|g' dist/mevraktd.init.in >"$top/etc/init.d/mevraktd"
chmod 755 "$top/etc/init.d/mevraktd"
cp dist/settings "$top/opt/mevraKT/etc/settings"
cp LICENSE "$top/usr/share/doc/mevrakt/copyright"
chmod -R u=rwX,go=rX "$top"
! grep -rl '@[A-Z_]*@' "$top/usr/lib" "$top/etc" || fail "a template was left unfilled"

# The same files make the same tarball: names sorted, owner root, times
# those of the last commit (or of the sources' newest file outside git).
if stamp=$(git log -1 --format=%ct 2>/dev/null) && [ -n "$stamp" ]; then :; else
  stamp=$(find dist docs CMakeLists.txt -type f -printf '%T@\n' | sort -n | tail -n 1 | cut -d. -f1)
fi
tarball=$build/$name.tar.gz
tar -C "$stage" --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$stamp" \
  -cf - "$name" | gzip -9n >"$tarball"

say "$tarball:"
tar -tvzf "$tarball" | awk '{ printf "    %s %8s %s\n", $1, $3, $6 }'
for program in usr/sbin/mevraktd usr/bin/mevraktsh; do
  if readelf -hW "$top/$program" | grep -q 'Type: *DYN'; then
    linked=static-pie
  else
    linked=static
  fi
  say "$(printf '%-10s %8s bytes stripped, %s, %s' "${program##*/}" "$(wc -c <"$top/$program")" "$arch" "$linked")"
done
