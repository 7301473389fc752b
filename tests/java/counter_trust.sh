#!/usr/bin/env bash
# Whether the kernel trusts the counter, as VarnokTime (on JDK 17 and on the
# newer JDK) and varnok_accuracy read it, on fake kernel files: each case is
# a private mount namespace with a fixture bind-mounted over
# clocksource0/available_clocksource (or a tmpfs over clocksource0, so that
# the file is gone) and this machine's /proc/cpuinfo, its flags lines edited,
# over /proc/cpuinfo.
#
# Trusted: VarnokTime keeps its binding (VarnokTimeTest, which checks it
# against Varnok's natives). Untrusted: binding JDK, a reason with the
# case's words, the JDK's clocks read and no library loaded, VarnokClock on
# top (CounterTrustTest); in one case the Agrona adapter falls back with its
# notice. The tool's "counter:" line must say the same.
#
# usage: counter_trust.sh TOOL LIBRARY JAVA17 NEWER_JAVA NEWER_BINDING NEWER_SKIP
#                         CLASS_PATH [ADAPTER_CLASS_PATH]
# NEWER_SKIP, when not empty, says why the newer JDK is not run. Exits 77,
# having said why, where no mount namespace can be made.
set -euo pipefail
tool=$1 library=$2 java17=$3 newer=$4 newer_binding=$5 newer_skip=$6 cp=$7
adapter_cp=${8:-}

skip() { echo "skipped: $*"; exit 77; }
cs=/sys/devices/system/clocksource/clocksource0/available_clocksource
[[ $(id -u) == 0 ]] || skip "bind-mounting over the kernel's files needs root (uid $(id -u))"
[[ -f $cs ]] || skip "no $cs here to lay a fixture over"
if ! err=$(unshare --mount sh -c "mount --bind /proc/version $cs &&
      mount --bind /proc/version /proc/cpuinfo" 2>&1); then
  skip "cannot lay fixtures over the kernel's files in a private mount namespace: $err"
fi

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cpuinfo=/proc/cpuinfo
# The columns: name | available_clocksource ("-": none) | invariance flags
# the cpuinfo keeps | JVM options | words of the reason ("-": trusted) |
# words of the tool's line ("=": the reason's, "-": the tool is not run)
cases=(
  "trusted|tsc kvm-clock |constant_tsc nonstop_tsc||-|="
  "no_tsc|kvm-clock hpet acpi_pm |constant_tsc nonstop_tsc||tsc is not in $cs, which lists kvm-clock hpet acpi_pm|="
  # A Hyper-V guest's clocksource holds "tsc" in its name: not the counter.
  "hyperv|hyperv_clocksource_tsc_page hpet |constant_tsc nonstop_tsc||tsc is not in $cs, which lists hyperv_clocksource_tsc_page hpet|="
  "empty||constant_tsc nonstop_tsc||tsc is not in $cs, which is empty|="
  "no_constant_tsc|tsc hpet |nonstop_tsc||the flags in $cpuinfo lack constant_tsc|="
  "no_nonstop_tsc|hpet tsc |constant_tsc||the flags in $cpuinfo lack nonstop_tsc|="
  "no_flags|tsc|||the flags in $cpuinfo lack constant_tsc and nonstop_tsc|="
  "no_sysfs|-|constant_tsc nonstop_tsc||$cs could not be read|="
  # The property that forces JNI does not bring the counter back.
  "forced_jni|kvm-clock |constant_tsc nonstop_tsc|-Dcom.vornix.common.unix.varnok.binding=jni|cannot override that|tsc is not in $cs"
  # aarch64's rule, as the JVM applies it; the tool is built for this machine.
  "aarch64|tsc kvm-clock |constant_tsc nonstop_tsc|-Dos.arch=aarch64|arch_sys_counter is not in $cs, which lists tsc kvm-clock|-"
)

# Runs COMMAND... with the clocksource list $1 and the cpuinfo $2.
on_host() {
  unshare --mount bash -c '
    set -e
    cs=$1
    if [[ $2 == - ]]; then mount -t tmpfs varnok-test "${cs%/*}"; else mount --bind "$2" "$cs"; fi
    mount --bind "$3" /proc/cpuinfo
    shift 3
    exec "$@"' on_host "$cs" "$@"
}

failed=0
fail() { echo "FAILED: $*"; failed=1; }
n=0
for row in "${cases[@]}"; do
  IFS='|' read -r name sources keep options words tool_words <<<"$row"
  n=$((n + 1))
  echo "== $name"
  sources_file=-
  if [[ $sources != - ]]; then
    sources_file=$dir/$n.clocksources
    printf '%s\n' "$sources" >"$sources_file"
  fi
  # This machine's cpuinfo, its counter flags replaced by the case's.
  sed -E "/^flags[[:space:]]*:/ { s/ (constant_tsc|nonstop_tsc)\\b//g; s/\$/ $keep/; s/ +\$// }" \
    "$cpuinfo" >"$dir/$n.cpuinfo"
  host=("$sources_file" "$dir/$n.cpuinfo")
  # shellcheck disable=SC2206  # the options are words
  opts=($options "-Dcom.vornix.common.unix.varnok.library=$library" -cp "$cp")
  jvms=("$java17|JNI")
  if [[ -n $newer_skip ]]; then
    echo "newer JDK skipped: $newer_skip"
  else
    jvms+=("$newer --enable-native-access=ALL-UNNAMED|$newer_binding")
  fi
  for jvm in "${jvms[@]}"; do
    IFS='|' read -r java binding <<<"$jvm"
    # shellcheck disable=SC2206
    java=($java)
    if [[ $words == - ]]; then
      test=(com.vornix.common.unix.tests.VarnokTimeTest "$binding")
    else
      test=(com.vornix.common.unix.tests.CounterTrustTest "$words")
    fi
    if ! out=$(on_host "${host[@]}" "${java[@]}" "${opts[@]}" "${test[@]}" 2>&1); then
      echo "$out"
      fail "$name on ${java[0]}"
    else
      grep -E '^(PASS binding|[0-9]+ passed)' <<<"$out" | sed "s|^|  ${java[0]##*/jvm/}: |"
    fi
  done
  if [[ $tool_words != - ]]; then
    [[ $tool_words == = ]] && tool_words=$words
    line=$(on_host "${host[@]}" "$tool" --seconds 0.01 | grep -m1 '^counter: ' || true)
    echo "  tool: $line"
    if [[ $tool_words == - ]]; then
      [[ $line =~ ^counter:\ +trusted$ ]] || fail "$name: the tool does not say trusted"
    elif [[ ! $line =~ ^counter:\ +untrusted:\  || $line != *"$tool_words"* ]]; then
      fail "$name: the tool's line lacks 'untrusted: ... $tool_words'"
    fi
  fi
  # An adapter on an untrusted host: it falls back to the JDK's clock, once
  # noticed, as where Varnok cannot be used.
  if [[ $name == no_tsc && -n $adapter_cp ]]; then
    if ! out=$(on_host "${host[@]}" "$java17" -cp "$adapter_cp" \
        com.vornix.common.unix.tests.AgronaAdapterTest fallback 2>&1); then
      echo "$out"
      fail "$name: the Agrona adapter"
    else
      echo "  agrona adapter: $(tail -n1 <<<"$out")"
      grep -q "tsc is not in $cs" <<<"$out" || fail "$name: the adapter's notice lacks the reason"
    fi
  fi
done
exit "$failed"
