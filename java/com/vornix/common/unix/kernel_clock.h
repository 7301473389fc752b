// What the kernel says about the clock that the epoch clock follows: how a
// daemon disciplines CLOCK_REALTIME, and CLOCK_MONOTONIC, which moves with
// every slew but never steps. Internal to the library.

#ifndef JAVA_COM_VORNIX_COMMON_UNIX_KERNEL_CLOCK_H_
#define JAVA_COM_VORNIX_COMMON_UNIX_KERNEL_CLOCK_H_

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
Discipline ReadDiscipline();

// CLOCK_MONOTONIC and CLOCK_REALTIME in seconds; a NaN where they cannot
// be read. REALTIME to the nanosecond, where gettimeofday truncates to the
// microsecond: a clock that re-measures every millisecond would otherwise
// step by up to a microsecond each time.
double MonotonicSeconds();
double RealtimeSeconds();

}  // namespace varnok_kernel_clock

#endif  // JAVA_COM_VORNIX_COMMON_UNIX_KERNEL_CLOCK_H_
