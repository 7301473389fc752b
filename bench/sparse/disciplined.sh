#!/bin/sh
# Runs a benchmark while the kernel's frequency correction is set to PPM, as
# an NTP daemon leaves it:
#   disciplined.sh WITH_KERNEL_FREQUENCY PPM COMMAND [ARG...]
# WITH_KERNEL_FREQUENCY (tools/with_kernel_frequency.cc) restores the
# machine's own value on every path. The correction changes the clock of
# every process here, so only one run may hold it: none starts while that
# runner or the discipline tests run already. Where the runner refuses (not
# root, a time daemon at work: status 77) this says so and succeeds, so that
# the undisciplined figures printed before it stand.
set -u
runner=$1 ppm=$2
shift 2
# Process names as the kernel keeps them, cut at 15 characters.
for name in varnok_with_ker discipline_accu; do
  if pgrep -x "$name" > /dev/null 2>&1; then
    echo "disciplined run skipped: another run ($name) holds the kernel's clock"
    exit 0
  fi
done
echo "disciplined run: asking for the kernel's frequency at $ppm ppm"
"$runner" "$ppm" "$@"
status=$?
if [ "$status" -eq 77 ]; then
  echo "disciplined run skipped: the runner refused, saying why above"
  exit 0
fi
exit "$status"
