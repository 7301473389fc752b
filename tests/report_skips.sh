#!/usr/bin/env bash
# Prints why each test, or each case inside a test, skipped in the ctest run
# that is ending. CTest shows a skipped test's output only with -V, so the
# reasons the tests print are taken from the run's log: a GoogleTest skip
# ("FILE:LINE: Skipped" and its message) or a line "skipped: REASON" (or
# "SKIPPED: REASON") from a script. Run by CTest after the tests
# (CTEST_CUSTOM_POST_TEST) in the directory it tests; never fails the run.
# Usage: report_skips.sh [log]
# While ctest runs, its log is still being written under a temporary name.
log=${1:-Testing/Temporary/LastTest.log.tmp}
[[ -r $log ]] || exit 0
reasons=$(awk '
  function note(reason) {
    if (!((name, reason) in seen)) {
      seen[name, reason] = 1
      print "  " name ": " reason
    }
  }
  # A skip message ends where GoogleTest goes on.
  function end_message() {
    if (grab) note(message == "" ? "(no reason printed)" : message)
    grab = 0
  }
  /^[0-9]+\/[0-9]+ Test: / {
    end_message()
    name = $0
    sub(/^[0-9]+\/[0-9]+ Test: /, "", name)
    next
  }
  grab && (/^\[/ || /^Google Test trace:$/ || /^<end of output>$/) { end_message() }
  grab { message = message (message == "" ? "" : " ") $0; next }
  /: Skipped$/ { grab = 1; message = ""; next }
  /^(skipped|SKIPPED): / { reason = $0; sub(/^(skipped|SKIPPED): /, "", reason); note(reason) }
  END { end_message() }
' "$log" | sort)
if [[ -n $reasons ]]; then
  printf '\nSkipped in this run (whole tests, or cases inside them), and why:\n%s\n' "$reasons"
fi
exit 0
