#!/usr/bin/env bash
# Every C and C++ source of the project as .clang-format lays it out, with
# Debian 12's clang-format 14 (another version lays some lines out otherwise).
# Skipped, with a note, without it. To lay a file out: clang-format-14 -i FILE.
set -euo pipefail
cd "$1"
format=$(command -v clang-format-14 || true)
if [ -z "$format" ]; then
  echo "skipped: clang-format-14 is not installed (Debian 12's clang-format-14 package)"
  exit 77
fi
files=()
while IFS= read -r -d '' f; do files+=("$f"); done < <(
  find . -path ./build -prune -o -path './.git' -prune -o \
       \( -name '*.cpp' -o -name '*.hpp' -o -name '*.c' -o -name '*.h' \) -type f -print0)
"$format" --dry-run --Werror "${files[@]}"
echo "${#files[@]} files laid out as .clang-format says"
