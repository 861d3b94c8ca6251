#!/usr/bin/env bash
# Every man page renders without a warning of groff or man.
set -u
dir=$1
command -v man >/dev/null || { echo "man is not installed"; exit 77; }
bad=0
for page in "$dir"/*.[1-8]; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -E UTF-8 -l "$page" 2>/dev/null)
  if [ -n "$warnings" ]; then
    echo "$page:"; echo "$warnings"; bad=1
  elif ! grep -q "^NAME" <<<"$text"; then
    echo "$page: renders without a NAME section"; bad=1
  fi
done
exit $bad
