#!/usr/bin/env bash
# Instructions executed per call of each clock function, counted by callgrind
# (perf counters are not always available, on virtual machines especially).
#
#   bench/icount.sh build/bench/clock_benchmark
#
# For each case, runs clock_benchmark under callgrind with only that case
# (one thread), and divides the inclusive instruction count of the calls made
# from the benchmark loop by their number. The count includes everything the
# function executes (the PLT jumps to the library's own exported functions,
# and those functions), but not the caller's call instruction and PLT jump.
# An occasional re-measurement at a cycle-epoch boundary is averaged in; it
# happens about once per 2^32 counter ticks and barely moves the figure.
# Valgrind 3.19 cannot read the DWARF 5 that clang 14 emits: count on a g++
# build (or one compiled with -gdwarf-4).
set -euo pipefail

benchmark=${1:?usage: icount.sh path/to/clock_benchmark}
command -v valgrind >/dev/null || { echo "icount.sh: valgrind is not installed" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# case name in clock_benchmark, then the function whose calls are counted
cases=(
  "nanoTimeEpoch1 Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1"
  "nanoTimeRelative1 Java_com_vornix_common_unix_Varnok_nanoTimeRelative1"
  "CycleClock_Now java_com_vornix_common_unix_base::CycleClock::Now()"
  "GetDrift java_com_vornix_common_unix_base::GetDrift()"
)

printf '%-20s %12s %14s %10s\n' case calls instructions per_call
for entry in "${cases[@]}"; do
  name=${entry%% *}
  function=${entry#* }
  out="$work/$name.out"
  valgrind --tool=callgrind --callgrind-out-file="$out" \
    "$benchmark" "--benchmark_filter=^$name/threads:1\$" --benchmark_min_time=0.05 \
    >/dev/null 2>"$work/$name.log" || { cat "$work/$name.log" >&2; exit 1; }
  # In the caller tree, a function's own "*" line follows one "<" line per
  # caller; the one naming the benchmark loop holds the inclusive cost of the
  # loop's calls and their number, "(123x)".
  callgrind_annotate --inclusive=yes --tree=caller "$out" 2>/dev/null |
    awk -v fn="$function" -v name="$name" '
      function named(line) {
        return index(line, ":" fn " [") > 0 ||
               substr(line, length(line) - length(fn)) == ":" fn
      }
      found { next }
      / < / { if ($0 ~ /BM_/) caller = $0; next }
      /  \*  / && named($0) && caller != "" {
        ir = caller; sub(/^ */, "", ir); sub(/ .*/, "", ir); gsub(/,/, "", ir)
        n = caller; sub(/.*\(/, "", n); sub(/x\).*/, "", n); gsub(/,/, "", n)
        printf "%-20s %12d %14d %10.1f\n", name, n, ir, ir / n
        found = 1
      }
      /^ *$/ { caller = "" }
      END { if (!found) printf "%-20s %12s %14s %10s\n", name, "-", "-", "-" }'
done
echo "bare rdtsc inline: 4 instructions (rdtsc, shl, mov, or), no call"
