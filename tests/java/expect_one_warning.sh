#!/bin/sh
# expect_one_warning.sh COMMAND...
# Runs COMMAND, which must succeed and write to standard error the JDK's block of
# warnings about restricted methods exactly once: the block a JVM prints when a
# module without native access first calls one (four WARNING lines, then a blank
# one), and nothing else.
set -u
err=$(mktemp) || exit 1
trap 'rm -f "$err"' EXIT
"$@" 2>"$err"
status=$?
blocks=$(grep -c '^WARNING: A restricted method' "$err")
others=$(grep -cv '^WARNING: \|^$' "$err")
if [ "$blocks" -ne 1 ] || [ "$others" -ne 0 ] || [ "$(grep -c '^WARNING: ' "$err")" -ne 4 ]; then
  echo "FAIL standard error should hold one block of four warnings and nothing else; it holds:"
  sed 's/^/| /' "$err"
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
