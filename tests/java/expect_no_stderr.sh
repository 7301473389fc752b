#!/bin/sh
# expect_no_stderr.sh COMMAND...
# Runs COMMAND with its standard output passed through, and fails when it writes
# anything at all to standard error, which is shown: a JVM's warnings go there,
# and a user who was promised a quiet start must get one.
set -u
err=$(mktemp) || exit 1
trap 'rm -f "$err"' EXIT
"$@" 2>"$err"
status=$?
if [ -s "$err" ]; then
  echo "FAIL standard error is not empty; it holds:"
  sed 's/^/| /' "$err"
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
