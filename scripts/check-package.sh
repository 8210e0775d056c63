#!/bin/sh
# SPDX-License-Identifier: MIT
# Makes the Debian package of a build folder and checks it: the files a
# board needs, the architecture, the conffiles, that the programs need no
# library beyond what the package depends on and are built hardened, the
# licence and changelog, the manual pages (scripts/check-man.sh), and
# lintian's verdict: no error and no warning but those the package overrides.
# Prints the programs' sizes and what lintian says.
#
#   scripts/check-package.sh BUILD_DIR ARCH      (ARCH: amd64, armhf, arm64)
set -eu

build=$1
arch=$2
src=$(cd "$(dirname "$0")/.." && pwd)
fail=0
problem() {
  echo "check-package: $*" >&2
  fail=1
}

command -v lintian >/dev/null 2>&1 || "$src/scripts/setup.sh" lintian

rm -f "$build"/mevrakt_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/mevrakt_*_"$arch".deb 2>/dev/null || true)
if [ -z "$deb" ]; then
  echo "check-package: no $arch package in $build" >&2
  ls "$build"/*.deb >&2 || true
  exit 1
fi
echo "check-package: $deb"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
# The units go where the target's systemd says (dist/CMakeLists.txt): one
# of the two places systemd reads on Debian.
unitdir=$(echo "$contents" | sed -n 's|^\./\(.*\)/mevraktd\.service$|\1|p')
case "$unitdir" in
  lib/systemd/system | usr/lib/systemd/system) ;;
  *) problem "mevraktd.service is in ${unitdir:-no place}, not in /lib/systemd/system or /usr/lib/systemd/system" ;;
esac
for path in ./usr/sbin/mevraktd ./usr/bin/mevraktsh ./usr/bin/mevrakt-meter-sim ./usr/bin/mevrakt-read \
  ./usr/bin/mevrakt-textfile "./$unitdir/mevraktd.service" \
  "./$unitdir/mevrakt-textfile.service" "./$unitdir/mevrakt-textfile.timer" \
  ./etc/init.d/mevraktd ./opt/mevraKT/etc/settings \
  ./usr/share/doc/mevrakt/copyright ./usr/share/doc/mevrakt/changelog.Debian.gz \
  ./usr/share/doc/mevrakt/README.md.gz ./usr/share/lintian/overrides/mevrakt \
  ./usr/share/man/man1/mevraktsh.1.gz ./usr/share/man/man1/mevrakt-read.1.gz \
  ./usr/share/man/man1/mevrakt-meter-sim.1.gz ./usr/share/man/man5/mevrakt-settings.5.gz \
  ./usr/share/man/man8/mevraktd.8.gz ./usr/share/man/man8/mevrakt-textfile.8.gz; do
  echo "$contents" | grep -qx "$path" || problem "$path missing"
done
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || problem "architecture is not $arch"
depends=$(dpkg-deb -f "$deb" Depends)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -e "$deb" "$tmp/DEBIAN"
dpkg-deb -x "$deb" "$tmp/root"
for path in /etc/init.d/mevraktd /opt/mevraKT/etc/settings; do
  grep -qx "$path" "$tmp/DEBIAN/conffiles" || problem "$path is not a conffile"
done

# The changelog's top entry names the package's version; the copyright file
# is the licence's, word for word.
version=$(dpkg-deb -f "$deb" Version)
top=$(gzip -dc "$tmp/root/usr/share/doc/mevrakt/changelog.Debian.gz" | sed -n '1s/^mevrakt (\([^)]*\)).*/\1/p')
[ "$top" = "$version" ] || problem "the changelog's top entry is ${top:-none}, the package's version $version"
licence=$(sed -n '/^Permission is hereby granted/,$p' "$src/LICENSE")
shipped=$(sed -n '/^License: MIT$/,$p' "$tmp/root/usr/share/doc/mevrakt/copyright" | sed -n 's/^ \.$//p; s/^ //p' |
  sed -n '/^Permission is hereby granted/,$p')
[ "$licence" = "$shipped" ] || problem "the package's copyright file does not hold the text of LICENSE"

# systemd's own reading of the units, where systemd is at hand. The programs
# they name are not installed here; everything else must pass.
units="$tmp/root/$unitdir"
if command -v systemd-analyze >/dev/null 2>&1; then
  for unit in mevraktd.service mevrakt-textfile.service mevrakt-textfile.timer; do
    [ -f "$units/$unit" ] || continue
    complaints=$(systemd-analyze verify --man=no "$units/$unit" 2>&1 |
      grep -v -e 'Command /usr/sbin/mevraktd is not executable' -e 'Command /usr/bin/mevrakt-textfile is not executable' || true)
    [ -z "$complaints" ] || problem "systemd finds fault with $unit: $complaints"
  done
  # How much of the system the daemon's unit exposes, 0 (none) to 10, as
  # systemd rates its sandboxing; the unit is held at 2.5 or below.
  if systemd-analyze security --help 2>/dev/null | grep -q -e '--offline'; then
    exposure=$(systemd-analyze security --offline=yes "$units/mevraktd.service" 2>&1 |
      sed -n 's/.*Overall exposure level for mevraktd.service: \([0-9.]*\).*/\1/p')
    if [ -z "$exposure" ]; then
      problem "systemd-analyze security rated no exposure for mevraktd.service"
    elif awk -v e="$exposure" 'BEGIN { exit !(e <= 2.5) }'; then
      echo "check-package: mevraktd.service exposure $exposure (at most 2.5)"
    else
      problem "mevraktd.service exposure is $exposure, more than 2.5"
    fi
  else
    echo "check-package: this systemd-analyze cannot rate units offline; exposure not checked"
  fi
fi
sh -n "$tmp/root/usr/bin/mevrakt-textfile" || problem "mevrakt-textfile is not a valid shell script"

case "$arch" in
  amd64) machine="Advanced Micro Devices X86-64" ;;
  armhf) machine="ARM" ;;
  arm64) machine="AArch64" ;;
  *) machine="" ;;
esac

# Each library a program needs, and the package that brings it: every
# program is held to the C library alone (libm is part of it).
for program in usr/sbin/mevraktd usr/bin/mevraktsh usr/bin/mevrakt-meter-sim usr/bin/mevrakt-read; do
  file="$tmp/root/$program"
  if [ -n "$machine" ] && ! readelf -h "$file" | grep -q "Machine: *$machine\$"; then
    problem "$program is not built for $arch"
  fi
  readelf -S "$file" | grep -q '\.symtab' && problem "$program is not stripped"
  needed=$(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  printf '%-28s %8s bytes  needs %s\n' "$program" "$(wc -c < "$file")" "$needed"
  for lib in $needed; do
    case "$program:$lib" in
      *:libc.so.6) package=libc6 ;;
      # The stack protector's canary: on ARM a variable of the dynamic
      # loader's, which libc6 ships too.
      *:ld-linux-armhf.so.3 | *:ld-linux-aarch64.so.1) package=libc6 ;;
      *-sim:libm.so.6 | *-read:libm.so.6) package=libc6 ;;
      *) problem "$program needs $lib"; continue ;;
    esac
    case ", $depends" in
      *", $package "* | *", $package,"* | *", $package") ;;
      *) problem "$program needs $lib, but the package does not depend on $package" ;;
    esac
  done
done

# What dpkg-buildflags' hardening=+all asks of a program, read from the
# binaries: position-independent, relocations read-only and bound at start,
# a stack canary, the C library's checked calls; and from the build, that
# format strings were held to be safe.
for program in usr/sbin/mevraktd usr/bin/mevraktsh usr/bin/mevrakt-meter-sim usr/bin/mevrakt-read; do
  file="$tmp/root/$program"
  dynamic=$(readelf -dW "$file")
  echo "$dynamic" | grep -q '(FLAGS_1).*PIE' || problem "$program is not position-independent"
  echo "$dynamic" | grep -q -e '(FLAGS).*BIND_NOW' -e '(FLAGS_1).*NOW' || problem "$program is not bound at start (-z now)"
  readelf -lW "$file" | grep -q GNU_RELRO || problem "$program has no read-only relocations (-z relro)"
  symbols=$(objdump -T "$file")
  echo "$symbols" | grep -q '__stack_chk_fail' || problem "$program has no stack protector"
  echo "$symbols" | grep -q '__[a-z0-9_]*_chk$' || problem "$program calls no checked (fortified) function"
done
for target in daemon/CMakeFiles/mevraktd.dir shell/CMakeFiles/mevraktsh.dir; do
  flags="$build/$target/flags.make"
  for flag in -fstack-protector-strong -Werror=format-security -D_FORTIFY_SOURCE=; do
    grep -q -e "$flag" "$flags" 2>/dev/null || problem "$target was not built with $flag"
  done
done

"$src/scripts/check-man.sh" || problem "the manual pages fail their check"

# lintian as Debian's reviewers run it, pedantic and experimental tags too.
# Errors and warnings fail; what the package overrides (the fixed paths
# under /opt) it says why in usr/share/lintian/overrides/mevrakt.
said=$(lintian -I -E --pedantic "$deb" 2>&1 | grep -v '^running with root privileges' || true)
if [ -n "$said" ]; then
  echo "check-package: lintian says:"
  printf '%s\n' "$said" | sed 's/^/    /'
else
  echo "check-package: lintian: nothing to say"
fi
if printf '%s\n' "$said" | grep -q '^[EW]: '; then
  problem "lintian finds errors or warnings"
fi

[ "$fail" -eq 0 ] && echo "check-package: ok"
exit "$fail"
