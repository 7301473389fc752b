#!/usr/bin/env bash
# Runs varnok_accuracy, and with it the real counter, the real kernel clocks
# and the real library, on emulated bare-metal hosts. Each host is a private
# mount namespace in which cpu0's sysfs directory is a tmpfs holding that
# host's frequency files and /proc/cpuinfo is a fixture bind-mounted over the
# kernel's. The fixtures are derived from this machine's counter rate,
# measured first against CLOCK_MONOTONIC_RAW, as real hosts state them:
#
#   turbo      cpuinfo_max_freq is the turbo ceiling (intel_pstate), ~1.5x
#   idle       no cpufreq; "cpu MHz" is an idle core's frequency, ~0.54x
#   nominal+1  cpuinfo_max_freq is the nominal MHz + 1 (acpi-cpufreq, boost)
#   bogomips   no cpufreq and no "cpu MHz" lines; bogomips is twice the MHz
#   vm         no cpufreq; "cpu MHz" is the counter's rate to the kHz
#
# On each, across at least two cycle epochs, the epoch clock must stay within
# 5 us of CLOCK_REALTIME (p99) and never step back by more than 5 us, and the
# rate must take the right path: the VM's file kept, the others replaced.
#
# usage: emulated_hosts.sh VARNOK_ACCURACY [HOST...]   (default: all four)
# Exits 77, having said why, where no mount namespace can be made.
set -euo pipefail

tool=$1
shift
hosts=("$@")
((${#hosts[@]})) || hosts=(turbo idle nominal+1 bogomips vm)

skip() { echo "SKIPPED: $*"; exit 77; }
[[ $(id -u) == 0 ]] ||
  skip "the hosts need root for unshare --mount and their mounts (uid $(id -u))"
if ! err=$(unshare --mount --propagation private sh -c '
      mount -t tmpfs varnok-probe /sys/devices/system/cpu/cpu0 &&
      mount --bind /proc/version /proc/cpuinfo' 2>&1); then
  skip "cannot lay fixtures over the kernel's files in a private mount namespace: $err"
fi

rate=$("$tool" --measure-rate | sed -n 's/^counter_hz=//p')
[[ -n $rate ]] || { echo "varnok_accuracy --measure-rate gave no rate"; exit 1; }
calc() { awk -v r="$rate" "BEGIN { printf $1 }"; }
epoch_s=$(calc '"%.3f", 2^32 / r')
echo "counter: $rate Hz against CLOCK_MONOTONIC_RAW; a cycle epoch lasts $epoch_s s"

# What this machine's /proc/cpuinfo says about the processor, kept in the
# fixtures so that the tool sees the same model and counter flags.
real_line() { grep -m1 "^$1" /proc/cpuinfo || true; }
identity=$(printf '%s\n' "$(real_line vendor_id)" "$(real_line 'model name')")
flags=$(real_line flags)

# A /proc/cpuinfo of two processors whose "cpu MHz" lines read $1 (-: no
# such line) and whose bogomips are twice the counter's MHz, cut to two
# decimals as x86 kernels state them.
cpuinfo() {
  local cpu mhz_line=
  [[ $1 == - ]] || mhz_line=$(printf 'cpu MHz\t\t: %s' "$1")
  for cpu in 0 1; do
    printf 'processor\t: %s\n%s\n%s\n%s\nbogomips\t: %s\n\n' \
      "$cpu" "$identity" "$mhz_line" "$flags" \
      "$(calc '"%.2f", int(2 * r / 1e4) / 100')"
  done
}

idle_mhz=$(calc '"%.3f", int(0.54 * r / 1e8 + 0.5) * 100')
# host: cpuinfo_max_freq in kHz (-: no cpufreq directory), "cpu MHz", path
# the rate must take, the file it starts from
declare -A fixture=(
  [turbo]="$(calc '"%d", int(1.5 * r / 1e8 + 0.5) * 100000') $idle_mhz replaced cpuinfo_max_freq"
  [idle]="- $idle_mhz replaced cpu_mhz"
  [nominal+1]="$(calc '"%d", int(r / 1e6 + 0.5) * 1000 + 1000') $idle_mhz replaced cpuinfo_max_freq"
  [bogomips]="- - replaced bogomips"
  [vm]="- $(calc '"%.3f", r / 1e6') kept cpu_mhz"
)

# Runs the tool in host $1's namespace; prints its report.
run_host() {
  local max_khz mhz path source
  read -r max_khz mhz path source <<<"${fixture[$1]}"
  cpuinfo "$mhz" | unshare --mount --propagation private bash -c '
    set -euo pipefail
    cpu0=/sys/devices/system/cpu/cpu0
    mount -t tmpfs -o mode=0755 varnok-host "$cpu0"
    if [[ $1 != - ]]; then
      mkdir "$cpu0/cpufreq"
      echo "$1" >"$cpu0/cpufreq/cpuinfo_max_freq"
    fi
    cat >"$cpu0/cpuinfo-fixture"
    mount --bind "$cpu0/cpuinfo-fixture" /proc/cpuinfo
    shift
    exec "$@"' host "$max_khz" "$tool" --epochs 2 \
      --seconds "$(calc '"%.1f", 2.5 * 2^32 / r + 1')" \
      --require-p99-us 5 --require-step-back-us 5 --require-path "$path"
}

# Runs host $1 and prints its summary line; fails, with the whole report, if
# it misses a requirement or started from the wrong file.
check_host() {
  local max_khz mhz path source status=0 report summary
  read -r max_khz mhz path source <<<"${fixture[$1]}"
  report=$(run_host "$1" 2>&1) || status=$?
  summary=$(grep '^summary:' <<<"$report" || true)
  printf '%-9s max_freq=%s cpu_MHz=%s: %s\n' "$1" "$max_khz" "$mhz" \
    "${summary#summary: }"
  if ((status != 0)) || [[ $summary != *" source=$source "* ]]; then
    echo "$report"
    echo "host $1 missed (exit status $status, expected source $source)"
    return 1
  fi
}

failed=0
for host in "${hosts[@]}"; do
  [[ -v fixture[$host] ]] || { echo "no such host: $host"; exit 2; }
  # One more run after a miss: a preemption inside the library's 100 us
  # pairing window can shift one epoch's drift by that much, which says
  # nothing about the rate. A wrong rate misses every time.
  if ! check_host "$host"; then
    echo "running host $host once more"
    check_host "$host" || { echo "FAILED: host $host"; failed=1; }
  fi
done
exit "$failed"
