#include "java/com/vornix/common/unix/kernel_clock.h"

#include <math.h>
#include <sys/prctl.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "java/com/vornix/common/unix/base/kernel_clock_read.h"

namespace varnok_kernel_clock {

// systemd's SystemCallFilter=@system-service leaves out the @clock set, to
// which adjtimex belongs, and its default action kills the process; Docker
// and Kubernetes answer EPERM instead. A process cannot tell which without
// trying, but it can tell that some filter is installed: then the library
// asks nothing of adjtimex, and measures what it would have read.
// A filter, once installed, stays for the life of the thread, and a process
// that has one is likely to have it on every thread: once seen, adjtimex is
// never called again, and prctl neither.
static bool FilterMayKill() {
  static std::atomic<bool> seen(false);
  if (seen.load(std::memory_order_relaxed)) return true;
  if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) != 2) return false;
  seen.store(true, std::memory_order_relaxed);
  return true;
}

// Per second of the raw clock the kernel advances REALTIME by its tick
// length times USER_HZ (tick us per tick, USER_HZ ticks) plus freq, which
// is in 2^-16 ppm of a second. In nanoseconds that is
//   tick * USER_HZ * 1000 + freq / 65536 * 1000,
// so 1 + f = tick * USER_HZ / 1e6 + freq / 65536e6. Without NTP, freq is 0
// and tick * USER_HZ is 1e6, so the factor is exactly 1.0 and the clock is
// bit for bit the uncorrected one. A reading the kernel itself would not
// have taken (freq beyond its 500 ppm, tick beyond 10% of nominal) gives
// 1.0 too.
static double RateOf(const struct timex& tx) {
  constexpr long kMaxFreq = 500L << 16;  // 500 ppm
  if (tx.freq < -kMaxFreq || tx.freq > kMaxFreq) return 1.0;
  // Doubles, so that a nonsensical tick cannot overflow: a product inside
  // the range needs both factors small, and is then exact.
  const double second_us =
      static_cast<double>(tx.tick) * static_cast<double>(sysconf(_SC_CLK_TCK));
  if (!(second_us >= 900000.0 && second_us <= 1100000.0)) return 1.0;
  return second_us / 1e6 + static_cast<double>(tx.freq) / 65536e6;
}

Discipline ReadDiscipline() {
  Discipline d = {false, true, 1.0};
  if (FilterMayKill()) return d;
  struct timex tx = {};  // modes 0: read only, allowed to any user
  if (adjtimex(&tx) == -1) return d;
  const long nominal_tick = 1000000 / sysconf(_SC_CLK_TCK);
  d.readable = true;
  d.disciplined = !(tx.status & STA_UNSYNC) ||
                  (tx.status & (STA_PLL | STA_FLL)) != 0 || tx.freq != 0 ||
                  tx.tick != nominal_tick || tx.offset != 0;
  d.rate = RateOf(tx);
  return d;
}

static double Seconds(clockid_t id) {
  struct timespec ts;
  if (java_com_vornix_common_unix_base::ReadKernelClock(id, &ts) != 0) return NAN;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double MonotonicSeconds() { return Seconds(CLOCK_MONOTONIC); }
double RealtimeSeconds() { return Seconds(CLOCK_REALTIME); }

}  // namespace varnok_kernel_clock
