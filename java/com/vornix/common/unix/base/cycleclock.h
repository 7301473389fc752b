// The processor's time-stamp counter, read as the clock's raw time base.

#ifndef JAVA_COM_VORNIX_COMMON_UNIX_BASE_CYCLECLOCK_H_
#define JAVA_COM_VORNIX_COMMON_UNIX_BASE_CYCLECLOCK_H_

#include <stdint.h>

namespace java_com_vornix_common_unix_base {

// Cycle counts and their differences. In the namespace, so that it cannot
// clash with a program's own global int64.
typedef int64_t int64;

class CycleClock {
 public:
  // Never inlined: every read, the library's own included, goes through the
  // exported weak symbol, so a process can put its own counter in its place
  // (the tests script the counter this way). No fence: a read that floats a
  // few instructions early or late is well inside the clock's resolution.
  __attribute__((noinline, hot)) static int64 Now() {
#if defined(__x86_64__)
    uint32_t lo, hi;
    __asm__ __volatile__("rdtsc" : "=a"(lo), "=d"(hi));
    return static_cast<int64>(static_cast<uint64_t>(hi) << 32 | lo);
#elif defined(__aarch64__)
    // The generic timer's virtual count, which the kernel keeps readable
    // from user space (on cores with a timer erratum it traps and answers
    // the read itself). Unfenced too, for the same reason.
    uint64_t ticks;
    __asm__ __volatile__("mrs %0, cntvct_el0" : "=r"(ticks));
    return static_cast<int64>(ticks);
#else
#error "CycleClock::Now has no counter for this processor"
#endif
  }
};

}  // namespace java_com_vornix_common_unix_base

#endif  // JAVA_COM_VORNIX_COMMON_UNIX_BASE_CYCLECLOCK_H_
