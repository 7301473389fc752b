#!/usr/bin/env bash
# Checks what libvarnok_jni.so asks of the system and offers to it: the
# shared libraries it needs, how it is bound and hardened at load, the exact
# dynamic symbols it defines, and that its own calls of those symbols go
# through the PLT. It reads a library for x86-64 or for aarch64.
# Usage: check_elf_contract.sh path/to/libvarnok_jni.so [expected-symbols]
set -euo pipefail
lib=$1
expected=${2:-$(dirname "$0")/expected_dynamic_symbols.txt}
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# What differs by processor: the dynamic loader's name, the disassembler,
# the call and jump instructions, and the fused multiply-adds.
elf_machine=$(readelf -h "$lib" | sed -n 's/^ *Machine: *//p')
case $elf_machine in
  *X86-64)
    loader='ld-linux-x86-64\.so\.2' objdump=objdump calls='call\|jmp'
    fma='vfn?m(add|sub)[0-9]*[sp]d' ;;
  AArch64)
    loader='ld-linux-aarch64\.so\.1' objdump=aarch64-linux-gnu-objdump calls='bl\|b'
    fma='[[:space:]](fn?m(add|sub)|fml[as])[[:space:]]' ;;
  *) echo "FAIL: no contract for a library for $elf_machine"; exit 1 ;;
esac
command -v "$objdump" >/dev/null || { echo "FAIL: no $objdump to read $lib"; exit 1; }

# A JVM host may have no C++ runtime, or another one: only these may be needed.
allowed="^(libc\\.so\\.6|libm\\.so\\.6|libpthread\\.so\\.0|$loader)\$"
while read -r needed; do
  [[ $needed =~ $allowed ]] || fail "needs $needed"
done < <(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
readelf -d "$lib" | grep -q '(SONAME)' && fail "has a SONAME"
# Lazy binding inside calibration's paired reading would skew its base.
readelf -d "$lib" | grep -q -E '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' || fail "not bound at load (-z now)"
# With everything bound at load, the GOT can be read-only after relocation.
segments=$(readelf -lW "$lib")
grep -q -E '^[[:space:]]*GNU_RELRO[[:space:]]' <<<"$segments" || fail "no GNU_RELRO segment (-z relro)"
# Loading a library that asks for an executable stack makes the whole
# process's stacks executable; no GNU_STACK header asks for one too.
stack_flags=$(awk '$1 == "GNU_STACK" { print $(NF - 1) }' <<<"$segments")
[[ -n $stack_flags ]] || fail "no GNU_STACK header (-z noexecstack)"
[[ $stack_flags == *E* ]] && fail "stack is executable: GNU_STACK flags $stack_flags"

# Exactly the expected dynamic symbols, each with its binding (T or W).
actual=$(nm -D --defined-only "$lib" | awk '{print $2, $3}' | sort)
if ! diff_out=$(diff <(grep -v '^#' "$expected" | sed '/^$/d' | sort) <(echo "$actual")); then
  fail "dynamic symbols differ from $expected (< expected, > actual):"
  echo "$diff_out"
fi

# Every call or jump to an exported function goes through the PLT, so that
# a definition earlier in the process's lookup order receives it.
exported=$(echo "$actual" | awk '{print $2}')
direct=$("$objdump" -d --no-show-raw-insn "$lib" |
  sed -n "s/.*[[:space:]]\\($calls\\)[[:space:]]\\+[0-9a-f]\\+ <\\([^>@+]*\\)>\$/\\2/p" |
  grep -Fx -f <(echo "$exported") | sort -u || true)
[[ -z $direct ]] || fail "direct calls that bypass the dynamic linker: $direct"

# The clock rounds every operation on its own.
if "$objdump" -d --no-show-raw-insn "$lib" | grep -q -E "$fma"; then
  fail "fused multiply-add instructions in the library"
fi

if ((failures)); then
  echo "$failures check(s) failed"
  exit 1
fi
echo "ELF contract holds for $elf_machine: $(echo "$actual" | wc -l) dynamic symbols, needs only: $(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | xargs)"
