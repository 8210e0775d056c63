#!/bin/sh
# SPDX-License-Identifier: MIT
# Builds the fuzz targets with libFuzzer (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz/ and runs each for SECONDS
# (default 60), starting from its committed corpus in tests/fuzz/corpus/.
# Prints the executions per target; fails if any target crashes, leaks or
# hangs, leaving the input that did it in build-fuzz/artifacts/.
set -eu
cd "$(dirname "$0")/.."

seconds=${1:-60}
targets="settings link_stream events shell_request"

scripts/setup.sh clang libclang-rt-14-dev
# fuzzer-no-link gives the libraries under test the coverage the fuzzer
# steers by; each target links libFuzzer itself.
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DMEVRAKT_FUZZ=ON \
  -DMEVRAKT_SANITIZE=address,undefined,fuzzer-no-link
for target in $targets; do
  cmake --build build-fuzz -j"$(nproc 2>/dev/null || echo 2)" --target "fuzz_$target"
done

mkdir -p build-fuzz/artifacts
failed=""
for target in $targets; do
  # New inputs go to the first folder; the committed corpus is only read.
  found=build-fuzz/corpus/$target
  log=build-fuzz/fuzz_$target.log
  mkdir -p "$found"
  status=0
  "build-fuzz/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$target-" \
    "$found" "tests/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if [ "$status" -eq 0 ]; then
    echo "fuzz $target: ${runs:-?} executions in ${seconds}s, no failure"
  else
    echo "fuzz $target: FAILED after ${runs:-?} executions (exit $status); see $log"
    tail -n 40 "$log"
    failed="$failed $target"
  fi
done

if [ -n "$failed" ]; then
  echo "fuzz: failures in:$failed"
  exit 1
fi
