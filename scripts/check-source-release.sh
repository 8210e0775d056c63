#!/bin/sh
# SPDX-License-Identifier: MIT
# Makes the source release, mevrakt-VERSION.tar.gz (CPack's package_source),
# and builds it as a distribution would, unpacked where no git repository
# is:
#   - the tarball holds the tracked files of the tree, nothing more, and no
#     version control, CI or build output;
#   - configured with the tests, it builds and passes ctest;
#   - with -DMEVRAKT_TESTS=OFF it builds and installs the programs with
#     nothing but the compiler, its binutils, make, CMake and gzip on PATH
#     and no pkg-config, and finds no other tool;
#   - the options a distribution steers do as they say: MEVRAKT_HARDENING
#     on and off, a distribution's own CXXFLAGS and LDFLAGS kept, the
#     systemd unit directory from pkg-config, the option or the default.
# Prints the tarball's size and the time of each build.
#
#   scripts/check-source-release.sh
#
# Leaves the tarball and the logs in build-source-release/; the unpacked
# trees go to a temporary folder that is removed at the end.
set -eu
cd "$(dirname "$0")/.."

BUILD=build-source-release

. scripts/lib/args.sh
no_arguments "$@"

say() {
  printf 'check-source-release: %s\n' "$*"
}

fail() {
  echo "check-source-release: FAILED: $*" >&2
  exit 1
}

# Runs a command with its output in log $1; on failure shows the log's end.
logged() {
  log=$1
  shift
  "$@" >>"$log" 2>&1 || {
    tail -n 40 "$log" >&2
    fail "$* (the end of $log is above)"
  }
}

WORK=
cleanup() {
  status=$?
  trap - EXIT INT TERM
  [ -z "$WORK" ] || rm -rf "$WORK"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
rm -rf "$BUILD"
mkdir -p "$BUILD"
BUILD=$(cd "$BUILD" && pwd)

# ---------------------------------------------------------------------------
# The tarball

say "making the source release in $BUILD/maker/"
logged "$BUILD/maker.log" cmake -S . -B "$BUILD/maker" -DMEVRAKT_TESTS=OFF
logged "$BUILD/maker.log" cmake --build "$BUILD/maker" --target package_source
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/maker/CMakeCache.txt")
name=mevrakt-$version
tarball=$BUILD/$name.tar.gz
mv "$BUILD/maker/$name.tar.gz" "$tarball"

tar -tzf "$tarball" >"$BUILD/contents"
! grep -v "^$name/" "$BUILD/contents" || fail "the tarball holds files outside $name/"
sed -n "s|^$name/||p" "$BUILD/contents" | grep -v '/$' | grep -v '^$' | sort >"$BUILD/files"
bad=$(grep -E '(^|/)(\.git|\.ci|CMakeCache\.txt|CMakeFiles|_CPack_Packages)(/|$)|\.(o|a|so|deb)$|^build' \
  "$BUILD/files" || true)
[ -z "$bad" ] || fail "the tarball holds what is no source: $bad"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git ls-files | grep -v -E '^(\.ci/|\.gitignore$|\.gitattributes$)' | sort >"$BUILD/tracked"
  if ! diff "$BUILD/tracked" "$BUILD/files" >"$BUILD/files.diff"; then
    cat "$BUILD/files.diff" >&2
    fail "the tarball's files (>) are not the tracked files (<) but .ci/ and .gitignore"
  fi
fi
say "$tarball: $(wc -c <"$tarball") bytes, $(wc -l <"$BUILD/files") files"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/mevrakt-source-release.XXXXXX")
tar -xzf "$tarball" -C "$WORK"
SRC=$WORK/$name
# Nothing may find a repository above the unpacked tree.
GIT_CEILING_DIRECTORIES=$WORK
export GIT_CEILING_DIRECTORIES
! git -C "$SRC" rev-parse --git-dir >/dev/null 2>&1 || fail "$SRC is inside a git repository"

# ---------------------------------------------------------------------------
# With the tests: configure, build, ctest

say "building $name with its tests and running ctest (output in $BUILD/full.log)"
start=$(date +%s)
logged "$BUILD/full.log" cmake -S "$SRC" -B "$WORK/full" -DMEVRAKT_WERROR=ON
logged "$BUILD/full.log" cmake --build "$WORK/full" -j"$jobs"
logged "$BUILD/full.log" ctest --test-dir "$WORK/full" --output-on-failure -j"$jobs"
full_time=$(($(date +%s) - start))
say "$(grep -E '^[0-9]+% tests passed' "$BUILD/full.log"), in $full_time s from nothing"

# ---------------------------------------------------------------------------
# The programs alone, with a compiler and CMake

# PATH holds only these; CMake itself would still find other tools in the
# system's folders, so its cache is checked for them below.
tools=$WORK/tools
TOOLS="cmake make c++ as ld ar ranlib nm objcopy objdump readelf strip addr2line gzip sh"
mkdir -p "$tools"
for tool in $TOOLS; do
  path=$(command -v "$tool") || fail "no $tool here"
  ln -s "$path" "$tools/$tool"
done
say "building $name's programs alone, with only $TOOLS on PATH (output in $BUILD/programs.log)"
start=$(date +%s)
logged "$BUILD/programs.log" env -i PATH="$tools" HOME="$WORK" cmake -S "$SRC" -B "$WORK/programs" \
  -DMEVRAKT_TESTS=OFF -DMEVRAKT_WERROR=ON -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON
logged "$BUILD/programs.log" env -i PATH="$tools" HOME="$WORK" cmake --build "$WORK/programs" -j"$jobs"
programs_time=$(($(date +%s) - start))
logged "$BUILD/programs.log" env -i PATH="$tools" HOME="$WORK" DESTDIR="$WORK/root" \
  cmake --install "$WORK/programs"
found=$(sed -n 's/^\([A-Za-z0-9_]*\):FILEPATH=.*/\1/p' "$WORK/programs/CMakeCache.txt" |
  grep -v -E '^(CMAKE_[A-Z0-9_]*|MEVRAKT_GZIP)$' || true)
[ -z "$found" ] || fail "the programs' build looked for more than the compiler and gzip: $found"
for path in usr/sbin/mevraktd usr/bin/mevraktsh usr/bin/mevrakt-meter-sim usr/bin/mevrakt-read \
  usr/bin/mevrakt-textfile usr/lib/systemd/system/mevraktd.service etc/init.d/mevraktd \
  opt/mevraKT/etc/settings usr/share/man/man8/mevraktd.8.gz; do
  [ -e "$WORK/root/$path" ] || fail "the install has no /$path"
done
"$WORK/root/usr/sbin/mevraktd" --version | grep -qF "$version" || fail "the installed mevraktd is not $version"
say "the programs built and installed in $programs_time s; units in the default /usr/lib/systemd/system"

# ---------------------------------------------------------------------------
# The options a distribution steers, configured only

# Configures the programs in folder $1 with the environment and options
# that follow, and sets FLAGS and LINK to mevraktd's compile and link lines.
configure() {
  dir=$WORK/$1
  shift
  logged "$BUILD/options.log" env "$@" -S "$SRC" -B "$dir" -DMEVRAKT_TESTS=OFF
  FLAGS=" $(sed -n 's/^CXX_\(FLAGS\|DEFINES\) = //p' "$dir/daemon/CMakeFiles/mevraktd.dir/flags.make" | tr '\n' ' ') "
  LINK=" $(cat "$dir/daemon/CMakeFiles/mevraktd.dir/link.txt") "
}

has() {
  case "$1" in *" $2 "*) return 0 ;; esac
  return 1
}

# Default: every flag of the project's own.
configure hardened CXXFLAGS= LDFLAGS= cmake -DCMAKE_BUILD_TYPE=Release
for flag in -fstack-protector-strong -fPIE -U_FORTIFY_SOURCE; do
  has "$FLAGS" "$flag" || fail "the default build lacks $flag"
done
has "$FLAGS" -D_FORTIFY_SOURCE=3 || has "$FLAGS" -D_FORTIFY_SOURCE=2 || fail "the default build lacks _FORTIFY_SOURCE"
for flag in -Wl,-z,relro -Wl,-z,now -pie; do
  has "$LINK" "$flag" || fail "the default build does not link with $flag"
done

# A distribution's own flags stay as given, and the option adds only what
# they leave open.
configure given CXXFLAGS="-O2 -fno-stack-protector -D_FORTIFY_SOURCE=1" LDFLAGS="-Wl,-z,lazy" \
  cmake -DCMAKE_BUILD_TYPE=Release
for flag in -fno-stack-protector -D_FORTIFY_SOURCE=1 -fPIE; do
  has "$FLAGS" "$flag" || fail "with the distribution's flags, the build lacks $flag"
done
for flag in -fstack-protector-strong -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3; do
  ! has "$FLAGS" "$flag" || fail "the build overrides the distribution's flags with $flag"
done
if ! has "$LINK" -Wl,-z,lazy || ! has "$LINK" -Wl,-z,relro || has "$LINK" -Wl,-z,now; then
  fail "the link does not keep the distribution's -z lazy and add only -z relro: $LINK"
fi

# MEVRAKT_HARDENING=OFF: the distribution's flags and nothing of ours.
configure plain CXXFLAGS="-O2 -fstack-protector" LDFLAGS="-Wl,-O1" \
  cmake -DCMAKE_BUILD_TYPE=Release -DMEVRAKT_HARDENING=OFF
if ! has "$FLAGS" -fstack-protector || ! has "$LINK" -Wl,-O1; then
  fail "MEVRAKT_HARDENING=OFF drops the distribution's flags"
fi
for flag in -fstack-protector-strong -fPIE -U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3 -D_FORTIFY_SOURCE=2; do
  ! has "$FLAGS" "$flag" || fail "MEVRAKT_HARDENING=OFF still compiles with $flag"
done
for flag in -Wl,-z,relro -Wl,-z,now -pie; do
  ! has "$LINK" "$flag" || fail "MEVRAKT_HARDENING=OFF still links with $flag"
done
say "MEVRAKT_HARDENING: on adds the project's flags where the distribution's leave them open, off adds none"

# The unit directory: the target's systemd.pc for this prefix, or the option.
mkdir -p "$WORK/pc"
cat >"$WORK/pc/systemd.pc" <<'EOF'
prefix=/usr
systemdsystemunitdir=${prefix}/lib/systemd/system
Name: systemd
Description: the target's systemd
Version: 252
EOF
configure unit-pc PKG_CONFIG_LIBDIR="$WORK/pc" cmake -DCMAKE_INSTALL_PREFIX=/opt/board
grep -q 'systemd units go to lib/systemd/system (pkg-config systemd)' "$BUILD/options.log" ||
  fail "the unit directory was not taken from pkg-config systemd"
configure unit-option PKG_CONFIG_LIBDIR="$WORK/pc" cmake -DMEVRAKT_SYSTEMD_UNIT_DIR=/etc/systemd/system
grep -q 'systemd units go to /etc/systemd/system (MEVRAKT_SYSTEMD_UNIT_DIR)' "$BUILD/options.log" ||
  fail "MEVRAKT_SYSTEMD_UNIT_DIR was not taken"
say "the unit directory: from pkg-config systemd, from MEVRAKT_SYSTEMD_UNIT_DIR, else the default"

say "$name.tar.gz $(wc -c <"$tarball") bytes; with tests and ctest $full_time s, programs alone $programs_time s"
say "ok"
