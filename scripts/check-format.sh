#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks that the programs' C++ files keep the layout that .clang-format
# describes; prints what clang-format would change and exits with 1 when
# anything, 0 when nothing. Installs clang-format when it is missing.
#
#   scripts/check-format.sh          check
#   scripts/check-format.sh --fix    reformat the files in place
#
# The tests are not checked: their tables and expected texts are laid out
# to be read against each other.
set -eu
cd "$(dirname "$0")/.."

command -v clang-format >/dev/null 2>&1 || scripts/setup.sh clang-format

product_files() {
  git ls-files 'daemon/*' 'nbr14522/*' 'serial/*' 'tcp_server/*' 'shell/*' 'common/*' 'tools/*' 'sandbox/*' |
    grep -E '\.(cc|h)$'
}

if [ "${1:-}" = --fix ]; then
  product_files | xargs -r clang-format -i --style=file
  exit 0
fi
if ! product_files | xargs -r clang-format --dry-run --Werror --style=file; then
  echo "check-format: the files above are not laid out as .clang-format says (scripts/check-format.sh --fix)" >&2
  exit 1
fi
echo "check-format: $(product_files | wc -l) files ok"
