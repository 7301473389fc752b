#!/usr/bin/env bash
# Installs what the build, the whole test suite and CI need and the machine
# lacks: Debian's packages through apt-get, and into folders of their own,
# never installed, an arm64 JRE for the aarch64 JVM test and Debian's
# chronyd for the real-daemon clock test; and it registers qemu's
# binfmt_misc handler. It runs apt-get as root, or through sudo; on a system
# without apt-get it prints the packages (by Debian's names) and stops. This
# is the one list of packages: .ci/run calls it too.
#
# It only adds. It refuses an apt plan that would remove a package (Debian's
# chrony, for one, would remove systemd-timesyncd), it never adds an
# architecture to dpkg's configuration, and it never stops, disables or
# reconfigures the host's time daemon.
#
#   tools/install-test-deps.sh          what the README's test command needs
#   tools/install-test-deps.sh --ci     that, and what .ci/run adds (clang and
#                                       the sanitizers' runtimes)
#   tools/install-test-deps.sh --list   only print what is missing
#   tools/install-test-deps.sh --plan [PACKAGE...]
#                                       only simulate installing the missing
#                                       packages and these: fails, naming
#                                       them, if apt would remove any
set -euo pipefail

ci=false
list=false
plan=false
extra=()
for arg in "$@"; do
  case $arg in
    --ci) ci=true ;;
    --list) list=true ;;
    --plan) plan=true ;;
    -*) echo "usage: $0 [--ci] [--list | --plan [PACKAGE...]]" >&2; exit 2 ;;
    *) $plan || { echo "usage: $0 [--ci] [--list | --plan [PACKAGE...]]" >&2; exit 2; }
       extra+=("$arg") ;;
  esac
done

packages=(
  # The library and the jar: a C++ compiler, CMake, a JDK and Valgrind's
  # headers, which come with valgrind (also run by the memcheck tests).
  cmake make g++ openjdk-17-jdk-headless valgrind
  # The tests: GoogleTest (its sources, Debian's googletest, also build the
  # aarch64 tests); the ELF checks' objdump, nm and readelf; unshare and
  # mount for the tests in private mount namespaces; the installed
  # varnok.pc's test; the pages' code and the Java benchmarks' report.
  libgtest-dev binutils util-linux pkg-config python3
  # The native benchmark, which the suite smoke-runs.
  libbenchmark-dev
  # The adapters and JMH (Maven fetches their libraries from Maven Central),
  # and the offline Maven build against the installed repository, which
  # takes Maven's own plugins from Debian's packages.
  maven libmaven-compiler-plugin-java libmaven-resources-plugin-java
  libmaven-jar-plugin-java libsurefire-java libmaven-install-plugin-java
  # The aarch64 library and its tests under emulation.
  g++-aarch64-linux-gnu qemu-user-static binfmt-support
)
if $ci; then
  # clang++'s build, its sanitizer runtimes and libFuzzer; g++'s thread
  # sanitizer runtime.
  packages+=(clang libclang-rt-14-dev libtsan2)
fi

# An arm64 JRE for the JVM test under emulation: Debian's packages, fetched
# and unpacked into a folder, never installed (installing them through
# multiarch would replace the amd64 JDK). The build finds it as
# VARNOK_AARCH64_JRE_ROOT.
jre_root=/opt/varnok-aarch64-jre
jre_packages=(openjdk-17-jre-headless:arm64 libc6:arm64 libgcc-s1:arm64
              libstdc++6:arm64 zlib1g:arm64)
# Debian's chronyd for the real-daemon clock test, the same way: installing
# chrony would remove any other time daemon (it conflicts with them all) and
# start a service. Its libraries are the host's. The build finds it as
# VARNOK_CHRONYD.
chrony_root=/opt/varnok-chrony

is_debian() {
  command -v apt-get >/dev/null && command -v dpkg-query >/dev/null &&
    grep -qsE '^(ID|ID_LIKE)=.*\b(debian|ubuntu)\b' /etc/os-release
}
if ! is_debian; then
  echo "This installer knows Debian and Ubuntu only. Install these, by Debian's names," >&2
  echo "with this system's package manager, then run the test command:" >&2
  echo "  ${packages[*]}" >&2
  exit 1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$p")
done
need_jre=true
[[ -x $jre_root/usr/lib/jvm/java-17-openjdk-arm64/bin/java ]] && need_jre=false
need_chrony=true
[[ -x $chrony_root/usr/sbin/chronyd ]] && need_chrony=false

# The critical binding needs a JDK 22 or later; Debian 12 packages none.
newest_jdk=0
for release in /usr/lib/jvm/*/release; do
  [[ -e $release ]] || continue
  v=$(sed -n 's/^JAVA_VERSION="\([0-9]*\).*/\1/p' "$release")
  if ((${v:-0} > newest_jdk)); then newest_jdk=$v; fi
done

if $list; then
  echo "missing packages: ${missing[*]:-none}"
  $need_jre && echo "missing: the arm64 JRE in $jre_root"
  $need_chrony && echo "missing: Debian's chronyd in $chrony_root"
  ((newest_jdk >= 22)) || echo "missing: a JDK 22 or later in /usr/lib/jvm"
  exit 0
fi

# apt-get -s needs no root; everything else here does.
if ! $plan && { ((${#missing[@]})) || $need_jre || $need_chrony; }; then
  if ((EUID != 0)); then
    if command -v sudo >/dev/null; then
      exec sudo bash "$0" "$@"
    fi
    echo "Run this as root, or install sudo: missing ${missing[*]:-nothing}" >&2
    $need_jre && echo "and the arm64 JRE in $jre_root" >&2
    $need_chrony && echo "and Debian's chronyd in $chrony_root" >&2
    exit 1
  fi
fi

apt=(env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600)
apt_options=()
updated=false
update() {
  $updated || "${apt[@]}" update
  updated=true
}

# Fails, naming them, where installing these would remove any package:
# this script only ever adds to the host.
check_plan() {
  local removed
  removed=$("${apt[@]}" -s install --no-install-recommends "$@" | sed -n 's/^Remv \([^ ]*\).*/\1/p')
  if [[ -n $removed ]]; then
    echo "refused: installing ${*} would remove $(echo $removed); this installer never removes a package" >&2
    return 1
  fi
}

if $plan; then
  ((${#missing[@]} + ${#extra[@]})) || { echo "plan: nothing to install"; exit 0; }
  ((EUID != 0)) || update
  check_plan "${missing[@]}" "${extra[@]}"
  echo "plan: installing ${missing[*]} ${extra[*]} removes nothing"
  exit 0
fi

if ((${#missing[@]})); then
  update
  # Names this system's sources do not have (another release may call a
  # package otherwise) are reported, not fatal: the parts that need them
  # skip and say why.
  available=()
  for p in "${missing[@]}"; do
    if apt-cache show --no-all-versions "$p" >/dev/null 2>&1; then
      available+=("$p")
    else
      echo "not in this system's package sources, so not installed: $p" >&2
    fi
  done
  if ((${#available[@]})); then
    check_plan "${available[@]}"
    echo "installing: ${available[*]}"
    "${apt[@]}" install -y --no-install-recommends "${available[@]}"
  fi
fi

if ((newest_jdk < 22)); then
  for v in 25 24 23 22; do
    if apt-cache show --no-all-versions "openjdk-$v-jdk-headless" >/dev/null 2>&1; then
      check_plan "openjdk-$v-jdk-headless"
      echo "installing: openjdk-$v-jdk-headless"
      "${apt[@]}" install -y --no-install-recommends "openjdk-$v-jdk-headless"
      newest_jdk=$v
      break
    fi
  done
  ((newest_jdk >= 22)) || echo "No JDK 22 or later in /usr/lib/jvm, and none packaged here:" \
    "the critical-downcall binding and its tests skip. Unpack one (e.g. Temurin) there." >&2
fi

# Debian's packages, downloaded and unpacked into a folder of their own, never
# installed. APT_OPTIONS may point apt-get at a private state (below).
unpack() {
  local root=$1 debs
  shift
  debs=$(mktemp -d)
  chown _apt: "$debs" 2>/dev/null || true
  (cd "$debs" && "${apt[@]}" ${apt_options[@]+"${apt_options[@]}"} download "$@")
  rm -rf "$root.part" && mkdir -p "$root.part"
  for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$root.part"; done
  rm -rf "$debs" "$root" && mv "$root.part" "$root"
}

if $need_jre; then
  echo "== fetching an arm64 JRE into $jre_root"
  # apt-get can name arm64 packages only where arm64 is one of its
  # architectures: a private state and package lists that add it for this
  # download alone, so that neither dpkg's architectures nor the host's
  # lists change.
  state=$(mktemp -d)
  chmod 755 "$state"
  mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
  chown _apt: "$state/lists/partial" "$state/cache/archives/partial" 2>/dev/null || true
  : >"$state/status"
  apt_options=(-o "Dir::State::Lists=$state/lists" -o "Dir::State::status=$state/status"
               -o "Dir::Cache=$state/cache" -o "APT::Architectures::=$(dpkg --print-architecture)"
               -o "APT::Architectures::=arm64")
  "${apt[@]}" "${apt_options[@]}" update
  unpack "$jre_root" "${jre_packages[@]}"
  rm -rf "$state"
  apt_options=()
fi

if $need_chrony; then
  echo "== fetching Debian's chronyd into $chrony_root"
  update
  unpack "$chrony_root" chrony
  # Its libraries come from the host: name any that it lacks (the test then
  # skips, naming it too).
  absent=$(ldd "$chrony_root/usr/sbin/chronyd" 2>&1 | sed -n 's/^[[:space:]]*\([^ ]*\) => not found.*/\1/p')
  [[ -z $absent ]] || echo "chronyd in $chrony_root lacks $(echo $absent): discipline.chronyd will skip" >&2
fi

# Tests that execute themselves again (for a fresh process) need the kernel
# to hand aarch64 binaries to the emulator. binfmt-support registers qemu
# where binfmt_misc is mounted, which a machine without systemd may lack;
# without it (or run as another user than root) those cases skip and say why.
if ((EUID == 0)); then
  if [[ ! -e /proc/sys/fs/binfmt_misc/register ]]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || true
  fi
  update-binfmts --enable qemu-aarch64 2>/dev/null || true
fi
