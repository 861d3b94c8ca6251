#!/usr/bin/env bash
# Fails when a tracked or new C++ source differs from what clang-format would write.
set -u
root=${1:-.}
cd "$root" || exit 2
cf=$(command -v clang-format-14 || command -v clang-format) || { echo "clang-format not found"; exit 1; }
files=$(git ls-files -co --exclude-standard -- '*.cpp' '*.h' '*.hpp' 2>/dev/null)
bad=0
for f in $files; do
  [ -f "$f" ] || continue
  if ! "$cf" --dry-run --Werror "$f" >/dev/null 2>&1; then
    echo "not formatted: $f"
    bad=1
  fi
done
exit $bad
