#!/usr/bin/env bash
# Prints the newest glibc symbol version libvarnok_jni.so requires and fails
# when it is newer than the ceiling recorded for its processor: the library
# must keep loading on the oldest glibc its users run.
# Usage: check_glibc_ceiling.sh path/to/libvarnok_jni.so path/to/glibc_ceiling.txt
set -euo pipefail
lib=$1
elf_machine=$(readelf -h "$lib" | sed -n 's/^ *Machine: *//p')
case $elf_machine in
  *X86-64) machine=x86_64 ;;
  AArch64) machine=aarch64 ;;
  *) echo "FAIL: $lib is for $elf_machine, which has no ceiling"; exit 1 ;;
esac
ceiling=$(awk -v m="$machine" '$1 == m { print $2; exit }' "$2")
[[ $ceiling =~ ^GLIBC_[0-9]+(\.[0-9]+)+$ ]] || { echo "FAIL: no GLIBC_x.y ceiling for $machine in $2"; exit 1; }

# The versions of the symbols the library takes from outside (objdump -T
# prints them in parentheses on its *UND* lines).
versions=$(objdump -T "$lib" | awk '$0 ~ /\*UND\*/' |
  grep -o '(GLIBC_[0-9.]*)' | tr -d '()' | sort -u -V)
[[ -n $versions ]] || { echo "FAIL: no versioned glibc symbol found in $lib"; exit 1; }
highest=$(echo "$versions" | tail -n 1)
echo "highest glibc version required: $highest (ceiling on $machine: $ceiling)"
echo "symbols at that version:"
objdump -T "$lib" | awk '$0 ~ /\*UND\*/' | grep -F "($highest)" | awk '{print "  " $NF}'

newest=$(printf '%s\n%s\n' "$highest" "$ceiling" | sort -V | tail -n 1)
if [[ $newest != "$ceiling" ]]; then
  echo "FAIL: $lib requires $highest, newer than the ceiling $ceiling"
  exit 1
fi
