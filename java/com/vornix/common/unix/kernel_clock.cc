#include "java/com/vornix/common/unix/kernel_clock.h"

#include <math.h>
#include <sys/prctl.h>
#include <sys/timex.h>
#include <time.h>
#include <unistd.h>

#include <stdint.h>

#include <atomic>

#include "java/com/vornix/common/unix/base/cycleclock.h"
#include "java/com/vornix/common/unix/base/kernel_clock_read.h"

namespace varnok_kernel_clock {

// systemd's SystemCallFilter=@system-service leaves out the @clock set, to
// which adjtimex belongs, and its default action kills the process; Docker
// and Kubernetes answer EPERM instead. A process cannot tell which without
// trying, but it can tell that some filter is installed: then the library
// asks nothing of adjtimex, and measures what it would have read.
// A filter, once installed, stays for the life of the thread, and a process
// that has one is likely to have it on every thread. The answer, either
// way, is taken once for the process: a prctl at every reading of the word
// would be a system call more on a reader's path.
static bool FilterMayKill() {
  enum : int { kUnknown, kNone, kFiltered };
  static std::atomic<int> seen(kUnknown);
  int answer = seen.load(std::memory_order_relaxed);
  if (answer == kUnknown) {
    answer = prctl(PR_GET_SECCOMP, 0, 0, 0, 0) == 2 ? kFiltered : kNone;
    seen.store(answer, std::memory_order_relaxed);
  }
  return answer == kFiltered;
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

static bool Read(clockid_t id, int64_t* ns) {
  struct timespec ts;
  if (java_com_vornix_common_unix_base::ReadKernelClock(id, &ts) != 0) return false;
  *ns = static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  return true;
}

bool PairWithRawClock(RawPair* pair) {
  using java_com_vornix_common_unix_base::CycleClock;
  // Three brackets: one is nearly always free of an interrupt, and each is
  // two vDSO reads, not a system call. CLOCK_MONOTONIC is inside too, so
  // that its skew from the raw clock is bounded by the width as well.
  constexpr int kBrackets = 3;
  // A first read brings the kernel's clock data into the cache, so that the
  // brackets are not widened by that; where it fails, no counter is read.
  int64_t warm;
  if (!Read(CLOCK_MONOTONIC_RAW, &warm)) return false;
  pair->width = INT64_MAX;
  for (int i = 0; i < kBrackets; ++i) {
    int64_t raw, mono;
    const int64_t before = CycleClock::Now();
    if (!Read(CLOCK_MONOTONIC_RAW, &raw) || !Read(CLOCK_MONOTONIC, &mono)) return false;
    const int64_t width = static_cast<int64_t>(static_cast<uint64_t>(CycleClock::Now()) -
                                               static_cast<uint64_t>(before));
    // A counter that went back within the bracket gives no pair.
    if (width >= 0 && width < pair->width) {
      pair->width = width;
      pair->cycles = static_cast<int64_t>(static_cast<uint64_t>(before) +
                                          static_cast<uint64_t>(width / 2));
      pair->raw_ns = raw;
      pair->mono_ns = mono;
    }
  }
  return pair->width != INT64_MAX;
}

}  // namespace varnok_kernel_clock
