#!/bin/sh
# SPDX-License-Identifier: MIT
# Runs shellcheck over every shell script of the tree: the scripts, their
# libraries, the demo, the installed scripts and their templates, the
# package's maintainer scripts, the guest tests and CI's entry. Prints what
# it finds and exits with 1 when it finds anything, 0 when nothing.
# Installs shellcheck when it is missing.
#
#   scripts/check-shell.sh
set -eu
cd "$(dirname "$0")/.."

command -v shellcheck >/dev/null 2>&1 || scripts/setup.sh shellcheck

# Shell scripts by name, or by a first line that names a shell.
shell_files() {
  git ls-files | while read -r file; do
    case $file in
      *.sh) echo "$file" ;;
      tests/fuzz/corpus/* | *.md | *.cc | *.h | *.py) ;;
      *) [ -f "$file" ] && head -n 1 "$file" | grep -Eq '^#!.*/(ba|da)?sh( |$)' && echo "$file" ;;
    esac
  done
}

# Sourced files are read where they are sourced from, named from the top.
if ! shell_files | xargs -r shellcheck --external-sources --source-path=SCRIPTDIR; then
  echo "check-shell: shellcheck finds fault in the scripts above" >&2
  exit 1
fi
echo "check-shell: $(shell_files | wc -l) scripts ok"
