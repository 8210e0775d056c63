#!/bin/sh
# SPDX-License-Identifier: MIT
# Lists every tracked source file and script that does not say its licence
# in its first lines: "SPDX-License-Identifier: MIT", in a comment of the
# file's own syntax. Exits with 1 when any lacks it, 0 when none does.
#
#   scripts/check-licence.sh          list them
#   scripts/check-licence.sh --fix    add the line to each (after the
#                                     shebang where there is one)
#
# What counts: C++ sources and headers (and the header template), CMake
# files, shell and Python scripts (by name, or by a shebang naming a shell
# or Python), and the systemd units and the init script with their
# templates. Not the fuzz corpus, the manual pages, the settings example or
# other text.
set -eu
cd "$(dirname "$0")/.."
. scripts/lib/args.sh

TAG='SPDX-License-Identifier: MIT'
# How far down the line may stand: a shebang, or a template's first line,
# may come before it.
HEAD_LINES=5

fix=0
case "${1:-}" in
  "") ;;
  --fix) fix=1 ;;
  -h | --help)
    script_help
    exit 0
    ;;
  *) echo "usage: $0 [--fix]" >&2; exit 2 ;;
esac

# The comment that starts a line in file $1, or nothing when the file is
# not one of those that carry the line.
comment_of() {
  case $1 in
    tests/fuzz/corpus/*) return 0 ;;
    *.cc | *.cpp | *.h | *.hpp | *.h.in) echo '//' ;;
    CMakeLists.txt | */CMakeLists.txt | *.cmake) echo '#' ;;
    *.sh | *.py) echo '#' ;;
    *.service | *.service.in | *.timer | *.timer.in | *.socket | *.init | *.init.in) echo '#' ;;
    *)
      if head -n 1 "$1" | grep -Eq '^#!.*([/ ](ba|da|k|z)?sh|python[0-9.]*)( |$)'; then
        echo '#'
      fi
      ;;
  esac
}

# Adds the line to file $1 in comment syntax $2: after a shebang, else first.
add_tag() {
  if head -n 1 "$1" | grep -q '^#!'; then
    sed -i "1a $2 $TAG" "$1"
  elif [ -s "$1" ]; then
    sed -i "1i $2 $TAG" "$1"
  else
    printf '%s %s\n' "$2" "$TAG" >"$1"
  fi
}

missing=0
for file in $(git ls-files); do
  [ -f "$file" ] || continue
  comment=$(comment_of "$file")
  [ -n "$comment" ] || continue
  head -n "$HEAD_LINES" "$file" | grep -Eq "^[[:space:]]*(#|//|/\*)[[:space:]]*$TAG" && continue
  if [ "$fix" -eq 1 ]; then
    add_tag "$file" "$comment"
    echo "check-licence: added to $file"
  else
    echo "$file"
    missing=$((missing + 1))
  fi
done

if [ "$missing" -gt 0 ]; then
  echo "check-licence: $missing files without \"$TAG\" in their first $HEAD_LINES lines" >&2
  exit 1
fi
exit 0
