// What the kernel says about the clock that the epoch clock follows: how a
// daemon disciplines CLOCK_REALTIME, CLOCK_MONOTONIC, which moves with every
// slew but never steps, and CLOCK_MONOTONIC_RAW, which no daemon moves at
// all. Internal to the library.

#ifndef JAVA_COM_VORNIX_COMMON_UNIX_KERNEL_CLOCK_H_
#define JAVA_COM_VORNIX_COMMON_UNIX_KERNEL_CLOCK_H_

#include <stdint.h>
#include <time.h>

#include "java/com/vornix/common/unix/base/kernel_clock_read.h"

namespace varnok_kernel_clock {

struct Discipline {
  // False where the kernel's word could not be had: a seccomp filter is
  // installed (it may kill the process at adjtimex), or the call failed.
  bool readable;
  // A daemon steers the clock: synchronised, in PLL or FLL mode, with a
  // frequency or tick of its choosing, or an offset still being slewed.
  bool disciplined;
  // CLOCK_REALTIME's seconds per second of the raw clock that freq and
  // tick set, 1 + f; 1.0 when unreadable or beyond what a kernel accepts.
  double rate;
};

// Reads adjtimex without changing anything, unless that could be fatal.
// A system call: the clock reads it once a window, not once a block.
Discipline ReadDiscipline();

// CLOCK_REALTIME in seconds, to the nanosecond where gettimeofday truncates
// to the microsecond (a clock that re-measures every millisecond would
// otherwise step by up to a microsecond each time); a NaN where it cannot
// be read. Inline, as the reads a sparse reader makes: every page a cold
// read touches costs it a walk of the page tables, twice over in a guest.
inline double RealtimeSeconds() {
  struct timespec ts;
  if (java_com_vornix_common_unix_base::ReadKernelClock(CLOCK_REALTIME, &ts) != 0) {
    return __builtin_nan("");
  }
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The counter paired with CLOCK_MONOTONIC_RAW: the raw clock read between
// two counter reads, the narrowest of a few such brackets (an interrupt or
// a VM exit can only widen one), with CLOCK_MONOTONIC read inside it too.
struct RawPair {
  int64_t cycles;   // the bracket's middle
  int64_t width;    // ticks between its two counter reads
  int64_t raw_ns;   // CLOCK_MONOTONIC_RAW
  int64_t mono_ns;  // CLOCK_MONOTONIC
};
// False where the clocks cannot be read.
bool PairWithRawClock(RawPair* pair);

}  // namespace varnok_kernel_clock

#endif  // JAVA_COM_VORNIX_COMMON_UNIX_KERNEL_CLOCK_H_
