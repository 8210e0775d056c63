#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks the code's layout and its scripts, builds mevraKT from nothing,
# runs every test and checks the Debian package; exits non-zero on failure.
set -eu
cd "$(dirname "$0")/.."

scripts/setup.sh
# The habits the code keeps: its layout, scripts shellcheck has nothing to
# say about, and a licence line in every file. Seconds, before the build.
scripts/check-format.sh
scripts/check-shell.sh
scripts/check-licence.sh
jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DMEVRAKT_WERROR=ON
cmake --build build -j"$jobs"
scripts/check-package.sh build "$(dpkg --print-architecture)"
ctest --test-dir build --output-on-failure -j"$jobs"
