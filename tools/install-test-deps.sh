#!/usr/bin/env bash
# Installs what the build, the whole test suite and CI need and the machine
# lacks: Debian's packages through apt-get, an arm64 JRE unpacked for the
# aarch64 JVM test, and qemu's binfmt_misc handler. It runs apt-get as root,
# or through sudo; on a system without apt-get it prints the packages (by
# Debian's names) and stops. This is the one list of packages: .ci/run calls
# it too.
#
#   tools/install-test-deps.sh          what the README's test command needs
#   tools/install-test-deps.sh --ci     that, and what .ci/run adds (clang and
#                                       the sanitizers' runtimes)
#   tools/install-test-deps.sh --list   only print what is missing
set -euo pipefail

ci=false
list=false
for arg in "$@"; do
  case $arg in
    --ci) ci=true ;;
    --list) list=true ;;
    *) echo "usage: $0 [--ci] [--list]" >&2; exit 2 ;;
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
  # The real-daemon clock test, which starts its own chronyd.
  chrony
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
  ((newest_jdk >= 22)) || echo "missing: a JDK 22 or later in /usr/lib/jvm"
  exit 0
fi

if ((${#missing[@]})) || $need_jre; then
  if ((EUID != 0)); then
    if command -v sudo >/dev/null; then
      exec sudo bash "$0" "$@"
    fi
    echo "Run this as root, or install sudo: missing ${missing[*]:-nothing}" >&2
    $need_jre && echo "and the arm64 JRE in $jre_root" >&2
    exit 1
  fi
fi

apt=(env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600)
updated=false
update() {
  $updated || "${apt[@]}" update
  updated=true
}

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
    echo "installing: ${available[*]}"
    # No service starts on install: chrony's would discipline the clock that
    # the discipline tests measure, and they fail while any chronyd runs.
    policy=/usr/sbin/policy-rc.d
    if [[ ! -e $policy ]]; then
      printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy"
      trap 'rm -f "$policy"' EXIT
    fi
    "${apt[@]}" install -y --no-install-recommends "${available[@]}"
    if [[ " ${available[*]} " == *" chrony "* ]]; then
      # Should its service have started all the same (a policy that allows it).
      systemctl disable --now chrony.service 2>/dev/null || true
      [[ -s /run/chrony/chronyd.pid ]] && kill "$(cat /run/chrony/chronyd.pid)" 2>/dev/null || true
    fi
  fi
fi

if ((newest_jdk < 22)); then
  for v in 25 24 23 22; do
    if apt-cache show --no-all-versions "openjdk-$v-jdk-headless" >/dev/null 2>&1; then
      echo "installing: openjdk-$v-jdk-headless"
      "${apt[@]}" install -y --no-install-recommends "openjdk-$v-jdk-headless"
      newest_jdk=$v
      break
    fi
  done
  ((newest_jdk >= 22)) || echo "No JDK 22 or later in /usr/lib/jvm, and none packaged here:" \
    "the critical-downcall binding and its tests skip. Unpack one (e.g. Temurin) there." >&2
fi

if $need_jre; then
  echo "== fetching an arm64 JRE into $jre_root"
  # Only so that apt-get can name arm64 packages: nothing arm64 is installed.
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    dpkg --add-architecture arm64
    updated=false
  fi
  update
  debs=$(mktemp -d)
  chown _apt: "$debs" 2>/dev/null || true
  (cd "$debs" && "${apt[@]}" download "${jre_packages[@]}")
  rm -rf "$jre_root.part" && mkdir -p "$jre_root.part"
  for deb in "$debs"/*.deb; do dpkg-deb -x "$deb" "$jre_root.part"; done
  rm -rf "$debs" "$jre_root" && mv "$jre_root.part" "$jre_root"
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
