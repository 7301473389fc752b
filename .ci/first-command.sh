#!/usr/bin/env bash
# The README's first command in a fresh clone, as a machine without Google
# Benchmark and GoogleTest would run it: it must build the jar, run the demo,
# and name each part it skips with the Debian package that brings it, once,
# with no CMake warning besides. As root the two packages' headers and CMake
# files are hidden in a private mount namespace, so that CMake searches and
# fails as it would on such a machine; elsewhere CMake is told not to look.
# The command is read from the README itself, so that what is checked is
# what a reader runs. Tests what is committed (a clone has nothing else).
set -euo pipefail
source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
git clone -q "$source_dir" "$work/varnok"
cd "$work/varnok"

# The first line of the README's first sh block.
command=$(awk '/^```sh$/ { inside = 1; next } inside { print; exit }' README.md)
configure="cmake -S . -B build"
if [[ $command != "$configure "* ]]; then
  echo "FAIL: the README's first command no longer begins with '$configure': $command"
  exit 1
fi
run=(bash -c "$command")
if ((EUID == 0)) && unshare -m true 2>/dev/null; then
  mkdir "$work/empty"
  hidden="/usr/include/gtest /usr/include/gmock /usr/include/benchmark"
  hidden+=" /usr/lib/$(gcc -print-multiarch)/cmake/GTest /usr/lib/$(gcc -print-multiarch)/cmake/benchmark"
  run=(unshare -m bash -c 'for d in $1; do [[ ! -d $d ]] || mount --bind "$2" "$d"; done; bash -c "$3"'
       hide "$hidden" "$work/empty" "$command")
  echo "== hidden: $hidden"
else
  hide="-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=TRUE -DCMAKE_DISABLE_FIND_PACKAGE_GTest=TRUE"
  command="$configure $hide${command#"$configure"}"
  run=(bash -c "$command")
fi
echo "== $command"
start=$SECONDS
status=0
"${run[@]}" >"$work/log" 2>&1 || status=$?
echo "== exit status $status after $((SECONDS - start)) s; the configure lines that skip:"
grep -E '^-- .* skipped: ' "$work/log" || true

failures=()
((status == 0)) || failures+=("the command failed")
[[ -s build/varnok.jar ]] || failures+=("no build/varnok.jar")
# The demo's first lines, which it prints once the library has loaded.
grep -qE '^Varnok [0-9]+\.[0-9]+\.[0-9]+' "$work/log" || failures+=("the demo printed no version")
grep -qE '^Binding: (JNI|CRITICAL)' "$work/log" || failures+=("the demo printed no binding")
# Each hidden part named exactly once, with its package.
for line in 'Tests skipped: no GoogleTest \(Debian package libgtest-dev\)' \
            'Native benchmark .* skipped: no Google Benchmark \(Debian package libbenchmark-dev\)'; do
  n=$(grep -cE "^-- $line" "$work/log" || true)
  ((n == 1)) || failures+=("configure printed '$line' $n times, not once")
done
# A skipped part says so in its one line: nothing that reads as an error.
if grep -qE '^CMake (Warning|Error)|Could NOT find' "$work/log"; then
  failures+=("configure printed more than the skip lines: $(grep -m1 -E '^CMake (Warning|Error)|Could NOT find' "$work/log")")
fi
if ((${#failures[@]})); then
  echo "== the command's output:"
  cat "$work/log"
  printf 'FAIL: %s\n' "${failures[@]}"
  exit 1
fi
echo "PASS: the first command built the jar, ran the demo and named both skipped parts"
