#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds mevraKT with AddressSanitizer and UndefinedBehaviorSanitizer, then
# with ThreadSanitizer, and runs the whole test suite under each; exits
# non-zero on any failure or sanitizer report.
set -eu
cd "$(dirname "$0")/.."

scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
for kind in address,undefined thread; do
  dir=build-$(echo "$kind" | tr ',' '-')
  echo "== $kind: $dir"
  cmake -S . -B "$dir" -DMEVRAKT_WERROR=ON -DMEVRAKT_SANITIZE="$kind"
  cmake --build "$dir" -j"$jobs"
  ctest --test-dir "$dir" --output-on-failure -j"$jobs"
done
