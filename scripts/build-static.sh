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
# settings at /opt/mevraKT/etc/settings, and in usr/share/doc/mevrakt the
# licences of all the binaries hold, with what they ask for: LICENCES says
# which, and relink/ is the kit that links the programs again against
# another build of the C library). Prints the size of each stripped
# binary. Installs the cross compiler the first time (root or sudo).
set -eu
cd "$(dirname "$0")/.."
. scripts/lib/args.sh

case "${1:-x86_64}" in
  x86_64 | amd64) arch=x86_64 triplet='' machine="Advanced Micro Devices X86-64" ;;
  armhf | arm) arch=armhf triplet=arm-linux-gnueabihf machine="ARM" ;;
  aarch64 | arm64) arch=aarch64 triplet=aarch64-linux-gnu machine="AArch64" ;;
  -h | --help)
    script_help
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

# What the libraries linked into the programs ask of a release, beside
# mevraKT's own licence. Debian's C library is glibc, under the LGPL-2.1
# (and other free licences for some parts): its text, its version, its
# source, and the means to link the programs again against another build of
# it. The relink kit is the programs' objects and archives, and relink.sh
# with the very commands of this build. GCC's runtime (libgcc) is GPL-3.0
# with the GCC Runtime Library Exception, which asks nothing of programs
# GCC compiled; its text goes along.
doc=$top/usr/share/doc/mevrakt
kit=$doc/relink
mkdir -p "$kit" "$doc/licences"
cxx=$(sed -n '1s/ .*//p' "$build/daemon/CMakeFiles/mevraktd.dir/link.txt")
cxx=${cxx##*/}
cat >"$kit/relink.sh" <<EOF
#!/bin/sh
# SPDX-License-Identifier: MIT
# Links mevraktd and mevraktsh again, from the objects and archives beside
# this script and with the commands that linked those of $name,
# against the C library the compiler finds; another build of it is given
# through CXX and LDFLAGS, e.g.
#   LDFLAGS="-B/path/to/libc/lib/ -L/path/to/libc/lib" ./relink.sh [FOLDER]
# Writes both programs to FOLDER (default: the current folder). With the
# compiler and libraries of the release (Debian 12's) and stripped as it
# strips them, they are the released programs, byte for byte:
#   strip --remove-section=.comment --remove-section=.note --strip-unneeded
# shellcheck disable=SC2086
set -eu
out=\$(mkdir -p "\${1:-.}" && cd "\${1:-.}" && pwd)
cd "\$(dirname "\$0")"
CXX=\${CXX:-$cxx}
EOF
# Copies what program $2 (built in folder $1) was linked from into the kit
# and adds its link command, with the kit's names, to relink.sh.
add_to_kit() {
  dir=$build/$1
  # shellcheck disable=SC2016
  command='$CXX ${LDFLAGS:-}'
  next_is_output=0
  # shellcheck disable=SC2013
  for word in $(sed -n '1s/^[^ ]* //p' "$dir/CMakeFiles/$2.dir/link.txt"); do
    if [ "$next_is_output" -eq 1 ]; then
      word="\"\$out/$2\""
      next_is_output=0
    else
      case $word in
        -o) next_is_output=1 ;;
        -Wl,--dynamic-list=*)
          cp "${word#-Wl,--dynamic-list=}" "$kit/"
          word=-Wl,--dynamic-list=${word##*/}
          ;;
        *.o | *.a)
          cp "$dir/$word" "$kit/"
          word=${word##*/}
          ;;
      esac
    fi
    command="$command $word"
  done
  echo "$command" >>"$kit/relink.sh"
}
add_to_kit daemon mevraktd
add_to_kit shell mevraktsh
chmod 755 "$kit/relink.sh"

# The kit must make the released programs again; what its link reads from
# the system is what the programs hold of other people's work.
relinked=$stage/relinked
LDFLAGS=-Wl,-t,-t "$kit/relink.sh" "$relinked" >"$stage/relink.trace" 2>&1 || {
  cat "$stage/relink.trace" >&2
  fail "the relink kit does not link"
}
for program in usr/sbin/mevraktd usr/bin/mevraktsh; do
  "$strip" --remove-section=.comment --remove-section=.note --strip-unneeded "$relinked/${program##*/}"
  cmp -s "$relinked/${program##*/}" "$top/$program" || fail "the relink kit does not make the released $program"
done
# ld -t -t names each archive member it takes as "(archive)member", and each
# object file as its path.
packages=$(sed -n 's|^(\(/[^)]*\)).*|\1|p; s|^\(/[^ (]*\.o\)$|\1|p' "$stage/relink.trace" | sort -u |
  while read -r file; do dpkg -S "$(readlink -f "$file")"; done | sed 's/[:,].*//' | sort -u)
maintainer=$(sed -n 's/^MEVRAKT_MAINTAINER:STRING=//p' "$build/CMakeCache.txt")
{
  echo "$name: the programs and the licences of what they hold"
  echo
  echo "usr/sbin/mevraktd and usr/bin/mevraktsh are linked statically: beside"
  echo "mevraKT's own code (MIT, in copyright) they hold parts of the libraries"
  echo "below. Each Debian package's copyright file that they come from is in"
  echo "licences/, word for word."
  for package in $packages; do
    cp "/usr/share/doc/$package/copyright" "$doc/licences/$package.copyright" ||
      fail "no copyright file for $package, which the programs hold parts of"
    case $package in
      libc6-dev*)
        glibc=$(sed -n 's|^(\(/[^)]*/libc\.a\)).*|\1|p' "$stage/relink.trace" | head -n 1)
        glibc_version=$(strings -a "$glibc" | grep -m 1 '^GNU C Library')
        source=$(dpkg-query -W -f='${source:Package} ${source:Version}' "$package")
        cp /usr/share/common-licenses/LGPL-2.1 "$doc/LGPL-2.1"
        cat <<EOF

The GNU C Library, from $package:
  $glibc_version
  Licence: LGPL-2.1-or-later, some parts under other free licences; the
  text is in LGPL-2.1, the parts in licences/$package.copyright.
  Relinking: relink/ holds the objects and archives of both programs and
  relink.sh, the commands that linked them; with another build of the
  library, it makes the programs again (see relink.sh).
  Source: as Debian built the library, its source package ${source% *},
  version ${source#* } ("apt-get source ${source% *}=${source#* }").
  For three years from this release, a copy of that source is given to
  anyone who asks, for no more than the cost of making it, by:
  $maintainer
EOF
        ;;
      libgcc-*-dev* | libstdc++-*-dev*)
        cp /usr/share/common-licenses/GPL-3 "$doc/GPL-3"
        grep -q 'GCC RUNTIME LIBRARY EXCEPTION' "$doc/licences/$package.copyright" ||
          fail "the copyright file of $package has no GCC Runtime Library Exception"
        cat <<EOF

GCC's runtime library, from $package (GCC $(dpkg-query -W -f='${Version}' "$package")):
  Licence: GPL-3.0-or-later WITH GCC-exception-3.1. The GPL's text is in
  GPL-3, the exception's in licences/$package.copyright.
  The exception lets programs compiled by GCC hold these parts under
  licences of their own: it asks nothing of the programs or this release.
EOF
        ;;
      *) fail "the programs hold parts of $package, whose licence has no note here" ;;
    esac
  done
} >"$doc/LICENCES"
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
