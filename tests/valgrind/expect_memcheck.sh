#!/usr/bin/env bash
# Runs a command under memcheck and checks both its exit status and whether
# memcheck reported the given error.
# Usage: expect_memcheck.sh reported|clean "error text" command args...
set -uo pipefail
want=$1 text=$2
shift 2
out=$(valgrind --tool=memcheck --error-exitcode=99 "$@" 2>&1)
status=$?
echo "$out"
case $want in
  reported)
    [[ $status -eq 99 ]] || { echo "FAIL: expected memcheck's error exit 99, got $status"; exit 1; }
    grep -qF -- "$text" <<<"$out" || { echo "FAIL: memcheck did not report: $text"; exit 1; } ;;
  clean)
    [[ $status -eq 0 ]] || { echo "FAIL: expected exit 0, got $status"; exit 1; }
    ! grep -qF -- "$text" <<<"$out" || { echo "FAIL: memcheck reported: $text"; exit 1; } ;;
  *) echo "usage: $0 reported|clean text command..."; exit 2 ;;
esac
echo "as expected: $want"
