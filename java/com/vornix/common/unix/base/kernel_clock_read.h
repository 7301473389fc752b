// The kernel's clocks, read without needing more of glibc than the library
// may. Internal to the library: not installed.

#ifndef JAVA_COM_VORNIX_COMMON_UNIX_BASE_KERNEL_CLOCK_READ_H_
#define JAVA_COM_VORNIX_COMMON_UNIX_BASE_KERNEL_CLOCK_READ_H_

#include <time.h>

// glibc before 2.17 keeps clock_gettime in librt, which the library must not
// need. So on x86-64 it is bound weakly, at the version under which later
// glibc still offers it in libc: on an older one it is null and the read
// fails. It is still called through the dynamic symbol table, so that a
// program's own clock_gettime receives the call.
#if defined(__x86_64__)
extern "C" int varnok_clock_gettime(clockid_t, struct timespec*)
    __attribute__((weak));
__asm__(".symver varnok_clock_gettime, clock_gettime@GLIBC_2.2.5");
#endif

namespace java_com_vornix_common_unix_base {

// clock_gettime, or -1 where this glibc has none in libc.
static inline int ReadKernelClock(clockid_t id, struct timespec* ts) {
#if defined(__x86_64__)
  if (varnok_clock_gettime == nullptr) return -1;
  return varnok_clock_gettime(id, ts);
#else
  return clock_gettime(id, ts);
#endif
}

}  // namespace java_com_vornix_common_unix_base

#endif  // JAVA_COM_VORNIX_COMMON_UNIX_BASE_KERNEL_CLOCK_READ_H_
