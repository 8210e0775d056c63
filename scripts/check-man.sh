#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks the manual pages in docs/man: mandoc's lint at warning level, and,
# where man-db and groff are at hand, the reading lintian gives a package's
# pages. Any message fails the check, and so does a cross-reference to one of
# our pages that does not exist. Installs mandoc when it is missing.
#
#   scripts/check-man.sh
set -eu
cd "$(dirname "$0")/.."

command -v mandoc >/dev/null 2>&1 || scripts/setup.sh mandoc

pages=$(ls docs/man/*.[0-9])
fail=0
problem() {
  printf 'check-man: %s\n' "$*" >&2
  fail=1
}

# mandoc exits non-zero on a warning, and prints each; either fails.
if ! out=$(mandoc -T lint -W warning docs/man/*.[0-9] 2>&1) || [ -n "$out" ]; then
  problem "mandoc finds fault:"
  printf '%s\n' "$out" >&2
fi

if command -v man >/dev/null 2>&1 && command -v groff >/dev/null 2>&1; then
  for page in $pages; do
    out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) ||
      problem "man cannot format $page"
    [ -z "$out" ] || problem "groff finds fault with $page: $out"
  done
else
  echo "check-man: no man and groff here, their reading skipped"
fi

for page in $pages; do
  sed -n 's/^\.Xr \(mevrakt[^ ]*\) \([0-9]\).*/\1.\2/p' "$page" | sort -u | while read -r ref; do
    [ -f "docs/man/$ref" ] || { echo "check-man: $page refers to $ref, which is not in docs/man" >&2; exit 1; }
  done || fail=1
done

[ "$fail" -eq 0 ] && echo "check-man: $(echo "$pages" | wc -l) pages ok"
exit "$fail"
