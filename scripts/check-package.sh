#!/bin/sh
# Makes the Debian package of a build folder and checks it: the files a
# board needs, the architecture, the conffiles, and that the programs need
# no library beyond what the package depends on. Prints the programs' sizes.
#
#   scripts/check-package.sh BUILD_DIR ARCH      (ARCH: amd64, armhf, arm64)
set -eu

build=$1
arch=$2
fail=0
problem() {
  echo "check-package: $*" >&2
  fail=1
}

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
for path in ./usr/sbin/mevraktd ./usr/bin/mevraktsh ./usr/bin/mevrakt-meter-sim ./usr/bin/mevrakt-read \
  ./usr/bin/mevrakt-textfile ./usr/lib/systemd/system/mevraktd.service \
  ./usr/lib/systemd/system/mevrakt-textfile.service ./usr/lib/systemd/system/mevrakt-textfile.timer \
  ./etc/init.d/mevraktd ./opt/mevraKT/etc/settings; do
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

# systemd's own reading of the units, where systemd is at hand. The programs
# they name are not installed here; everything else must pass.
units="$tmp/root/usr/lib/systemd/system"
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
      *-sim:libm.so.6 | *-read:libm.so.6) package=libc6 ;;
      *) problem "$program needs $lib"; continue ;;
    esac
    case ", $depends" in
      *", $package "* | *", $package,"* | *", $package") ;;
      *) problem "$program needs $lib, but the package does not depend on $package" ;;
    esac
  done
done

[ "$fail" -eq 0 ] && echo "check-package: ok"
exit "$fail"
