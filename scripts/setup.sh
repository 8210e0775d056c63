#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs what building and testing mevraKT needs, when it is missing.
# Debian packages only; does nothing on a machine that has them all.
set -eu

need=""
for pkg in "$@" cmake make g++ clang-format shellcheck libgtest-dev util-linux busybox python3-prometheus-client lintian mandoc; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need="$need $pkg"
done

if [ "$(id -u)" -ne 0 ]; then
  SUDO=sudo
else
  SUDO=
fi
if [ -n "$need" ]; then
  echo "setup: installing$need"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq || true
  echo "$need" | xargs $SUDO apt-get install -y -qq
fi

# The tests check the metrics with promtool. Debian ships it only with the
# Prometheus server, which installing would start: take the tool alone out
# of the package instead.
promtool=${HOME}/.cache/mevrakt/promtool
if ! command -v promtool >/dev/null 2>&1 && [ ! -x "$promtool/usr/bin/promtool" ]; then
  echo "setup: fetching promtool"
  rm -rf "$promtool" && mkdir -p "$promtool"
  if ! (cd "$promtool" && apt-get download prometheus >/dev/null 2>&1); then
    $SUDO apt-get update -qq
    (cd "$promtool" && apt-get download prometheus)
  fi
  dpkg-deb -x "$promtool"/prometheus_*.deb "$promtool"
  rm -f "$promtool"/prometheus_*.deb "$promtool/usr/bin/prometheus"
fi
