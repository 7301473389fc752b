#!/bin/sh
# with_clocksources.sh LIST COMMAND...
# Runs COMMAND with LIST as the kernel's available clocksources
# (clocksource0/available_clocksource, bind-mounted over it in a private mount
# namespace), as a kernel of another processor would state them: an aarch64
# JVM under qemu here sees this machine's x86-64 list, by which VarnokTime
# would take the JDK's clocks. Exits 77, which CTest counts as skipped, where
# that cannot be done.
set -eu
list=$1
shift
cs=/sys/devices/system/clocksource/clocksource0/available_clocksource
if [ "$(id -u)" -ne 0 ]; then
  echo "skipped: stating the kernel's clocksources over $cs needs root"
  exit 77
fi
if [ ! -f "$cs" ] || ! unshare -m true; then
  echo "skipped: no $cs, or no private mount namespace here"
  exit 77
fi
file=$(mktemp)
trap 'rm -f "$file"' EXIT
printf '%s\n' "$list" >"$file"
unshare -m sh -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' sh "$file" "$cs" "$@"
