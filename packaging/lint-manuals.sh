#!/bin/sh
# Every manual page renders without a single warning, in groff and, where
# it is installed, in mandoc's lint. Arguments: the pages.
set -eu
status=0
for page in "$@"; do
  warnings=$(groff -man -ww -z -t "$page" 2>&1)
  if command -v mandoc >/dev/null; then
    warnings=$warnings$(mandoc -Tlint -W warning "$page" 2>&1 || true)
  fi
  [ -z "$warnings" ] || { printf '%s:\n%s\n' "$page" "$warnings"; status=1; }
done
[ $status = 0 ] && echo "$# manual pages render clean"
exit $status
