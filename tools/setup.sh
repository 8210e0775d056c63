#!/bin/sh
# Installs what building and testing mevraKT needs, when it is missing.
# Debian packages only; does nothing on a machine that has them all.
set -eu

need=""
for pkg in "$@" cmake make g++ libgtest-dev util-linux busybox; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need="$need $pkg"
done
[ -z "$need" ] && exit 0

echo "setup: installing$need"
if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq || true
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq $need
