#!/usr/bin/env bash
# The epoch clock on a host whose kernel runs CLOCK_REALTIME faster or slower
# than the raw clock, as an NTP daemon makes it: the kernel's frequency
# correction is set to +30 and then to -30 ppm, and on an emulated host
# (emulated_hosts.sh) the clock is sampled for two cycle epochs at each. The
# bounds are those of every emulated host: p99 within 5 us of CLOCK_REALTIME,
# no step back of more than 5 us. The report must also show that the kernel
# ran at that frequency and that the library took it as its factor.
#
# varnok_with_kernel_frequency sets the frequency for each run and restores
# the machine's own on every path (see it). This changes the clock of every
# process on the machine for about ten seconds: run it alone.
#
# usage: kernel_frequency.sh VARNOK_WITH_KERNEL_FREQUENCY VARNOK_ACCURACY
# Exits 77, having said why, where it may not set the clock or has no mount
# namespace for the host.
set -euo pipefail
with=$1
tool=$2
here=$(dirname "$0")

for ppm in 30 -30; do
  status=0
  report=$("$with" "$ppm" bash "$here/emulated_hosts.sh" "$tool" vm 2>&1) || status=$?
  echo "$report"
  ((status != 77)) || exit 77
  ((status == 0)) || { echo "FAILED: the clock at $ppm ppm (exit status $status)"; exit 1; }
  # kernel_ppm: CLOCK_REALTIME's rate as the kernel set it while sampling;
  # factor_ppm: the library's factor. Both within 0.01 ppm of the setting.
  if ! awk -v want="$ppm" '
      / kernel_ppm=/ {
        for (i = 1; i <= NF; ++i) { split($i, kv, "="); v[kv[1]] = kv[2] }
        d1 = v["kernel_ppm"] - want; d2 = v["factor_ppm"] - want
        if (d1 * d1 < 1e-4 && d2 * d2 < 1e-4) ok = 1
      }
      END { exit !ok }' <<<"$report"; then
    echo "FAILED: at $ppm ppm the report shows another kernel frequency or factor"
    exit 1
  fi
done
echo "the clock held at +30 and -30 ppm"
