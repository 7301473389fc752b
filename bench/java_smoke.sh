#!/bin/sh
# A smoke run of the Java benchmarks, asserting no timing:
#   java_smoke.sh jmh OUT CASES PYTHON REPORT JAVA [OPTIONS...]
#     lists JMH's benchmarks, runs the regex CASES for a moment, and checks
#     that every case ran and that each Varnok case recorded its binding;
#   java_smoke.sh sparse OUT CASES PYTHON REPORT JAVA [OPTIONS...]
#     the same for the sparse reads, at one gap, with the sparse report;
#   java_smoke.sh accuracy OUT - PYTHON REPORT JAVA [OPTIONS...]
#     runs the accuracy program for a fraction of a second and checks that it
#     reported every clock.
# Then, unless PYTHON is "-", the report must render from what was written.
set -eu
mode=$1 out=$2 cases=$3 python=$4 report=$5
shift 5
run=$out/jdk0-t1 settings="-wi 0"
if [ "$mode" = sparse ]; then
  # A warm-up iteration, so that its brief parks run too.
  run=$out/jdk0-undisciplined settings="-wi 1 -w 100ms -p gapUs=100"
fi
rm -rf "$out" && mkdir -p "$out" && : > "$run.bindings"
fail() { echo "FAIL: $*" >&2; exit 1; }

case $mode in
jmh|sparse)
  "$@" -Djmh.ignoreLock=true org.openjdk.jmh.Main -l > "$out/list.txt"
  # One benchmark of each class, so that a class the processor missed shows.
  for name in JdkClocks.instantNow VarnokClocks.timeEpochForcedJni SparseReads.varnokEpoch \
              PeerClocks.chronicleSystemTimeProvider Floors.jni; do
    grep -q "\.$name\$" "$out/list.txt" || fail "JMH does not list $name"
  done
  # shellcheck disable=SC2086  # the settings are words
  "$@" -Djmh.ignoreLock=true "-Dcom.vornix.common.unix.jmh.bindings=$run.bindings" \
    org.openjdk.jmh.Main -f 1 $settings -i 1 -r 100ms -foe true \
    -rf json -rff "$run.json" "$cases"
  # Every case the regex picks must have run (once per parameter value).
  grep -E "$cases" "$out/list.txt" > "$out/picked.txt" || fail "no case matches $cases"
  while read -r name; do
    grep -q "\"benchmark\" : \"$name\"" "$run.json" || fail "$name did not run"
  done < "$out/picked.txt"
  while read -r benchmark binding _; do
    case $binding in JNI|CRITICAL) ;; *) fail "$benchmark recorded binding '$binding'" ;; esac
    case $benchmark in *ForcedJni) [ "$binding" = JNI ] || fail "$benchmark measured $binding" ;; esac
  done < "$run.bindings"
  ;;
accuracy)
  "$@" com.vornix.common.unix.bench.ClockAccuracy --seconds 0.2 --warmup-seconds 0 \
    --json "$out/accuracy-jdk0.json" > "$out/table.txt"
  clocks=$(grep -c '"clock"' "$out/accuracy-jdk0.json" || true)
  [ "$clocks" -eq 8 ] || fail "the accuracy program reported $clocks clocks, not 8"
  ;;
*) fail "unknown mode $mode" ;;
esac

if [ "$python" != - ]; then
  "$python" "$report" --dir "$out" > "$out/report.txt" || fail "the report failed"
  grep -q "JDK 0\|^| 0 (" "$out/report.txt" || fail "the report has no table"
fi
echo "smoke run passed: $out"
