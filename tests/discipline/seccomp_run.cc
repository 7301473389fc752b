// Runs a command under a seccomp filter that kills the whole process at
// adjtimex and clock_adjtime, as a sandbox does whose allow list leaves out
// the clock calls (systemd's @system-service kills at them by default).
// Everything else is allowed, so a process that dies here died at one of
// those two calls: it exits as killed by SIGSYS (a shell shows 159).
//
// Usage: seccomp_run COMMAND [ARG...]
// Exits 125 if the filter cannot be installed, 127 if COMMAND cannot run.

#include <errno.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SECCOMP_RET_KILL_PROCESS
#define SECCOMP_RET_KILL_PROCESS 0x80000000U
#endif

#if defined(__x86_64__)
#define VARNOK_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define VARNOK_AUDIT_ARCH AUDIT_ARCH_AARCH64
#else
#error "seccomp_run knows the system call ABI of x86-64 and aarch64 only"
#endif

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s COMMAND [ARG...]\n", argv[0]);
    return 125;
  }
  // Numbers are only meaningful for one ABI: a call made through another
  // (i386's int 0x80, or x32's numbers with bit 30 set) is killed too, so
  // that it cannot reach adjtimex under another number.
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, VARNOK_AUDIT_ARCH, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
#if defined(__x86_64__)
      BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000U, 2, 0),  // x32
#else
      BPF_JUMP(BPF_JMP | BPF_JA, 0, 0, 0),  // keeps the offsets below
#endif
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_adjtimex, 1, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clock_adjtime, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {
      static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
  // Without privilege a filter may only be installed by a process that can
  // gain none through exec; sandboxes set the same.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    fprintf(stderr, "seccomp_run: cannot install the filter: %s\n", strerror(errno));
    return 125;
  }
  execvp(argv[1], argv + 1);
  fprintf(stderr, "seccomp_run: cannot run %s: %s\n", argv[1], strerror(errno));
  return 127;
}
