// The native methods of com.vornix.common.unix.Varnok: a wall clock that
// costs one counter read on almost every call, and a relative clock that is
// the counter scaled to nanoseconds. The epoch clock is the base wall time
// of init plus the cycles since then, corrected by a drift that the first
// read of each cycle epoch (2^32 ticks) measures afresh against gettimeofday.

#include <jni.h>
#include <stdint.h>
#include <sys/timex.h>
#include <unistd.h>

#include <atomic>

#include "com_vornix_common_unix_Varnok.h"
#include "dynamic_annotations/dynamic_annotations.h"
#include "java/com/vornix/common/unix/base/cycleclock.h"
#include "java/com/vornix/common/unix/base/sysinfo.h"
#include "java/com/vornix/common/unix/base/walltime.h"
using java_com_vornix_common_unix_base::CycleClock;
using java_com_vornix_common_unix_base::CyclesPerSecond;
using java_com_vornix_common_unix_base::GetDrift;
using java_com_vornix_common_unix_base::InitializeSystemInfo;
using java_com_vornix_common_unix_base::int64;
using java_com_vornix_common_unix_base::SetDrift;
using java_com_vornix_common_unix_base::WallTime_Slow;

// Calibration, written by init alone before any read.
static double cycles_to_seconds_ = 0.0;  // CLOCK_REALTIME seconds per tick
static int64 max_interval_cycles = 0;  // the ticks of 100 us
static int64 base_cycletime = 0;
static double base_walltime = 0.0;

// The cycle epoch at which the drift was last measured.
static std::atomic<uint64_t> last_adjust_time(0);

namespace {
struct last_adjust_time_annotator {
  last_adjust_time_annotator() {
    ANNOTATE_BENIGN_RACE_SIZED(&last_adjust_time, sizeof(last_adjust_time), "last_adjust_time: Race can cause only a minor drift");
  }
} thelast_adjust_time_annotator;
}  // namespace

// Ticks from start to end. Wrapping, so that a counter that jumps (or a
// reading on a core whose counter lags) cannot overflow the subtraction.
static inline int64 CyclesBetween(int64 start, int64 end) {
  return static_cast<int64>(static_cast<uint64_t>(end) -
                            static_cast<uint64_t>(start));
}

static inline uint64_t CycleEpoch(int64 cycles) {
  return static_cast<uint64_t>(cycles) >> 32;
}

// The wall time that the cycle count stands for by the base reading alone.
static inline double Estimate(int64 now) {
  return base_walltime +
         static_cast<double>(CyclesBetween(base_cycletime, now)) *
             cycles_to_seconds_;
}

// CLOCK_REALTIME's seconds per second of the raw clock (CLOCK_MONOTONIC_RAW,
// against which the counter's rate is checked), as the kernel's frequency
// correction sets it when init runs: 1 + f. An NTP daemon sets it to make
// up for the crystal's error, often by tens of ppm; counted in the raw
// seconds, the clock would drift from gettimeofday by f within each epoch
// and jump back to it at the next, backwards when f < 0.
//
// Per second of the raw clock the kernel advances REALTIME by its tick
// length times USER_HZ: tick us per tick, USER_HZ ticks, plus freq, which
// is in 2^-16 ppm of a second. In nanoseconds that is
//   tick * USER_HZ * 1000 + freq / 65536 * 1000,
// so 1 + f = tick * USER_HZ / 1e6 + freq / 65536e6. Without NTP, freq is 0
// and tick * USER_HZ is 1e6, so the factor is exactly 1.0 and the clock
// is bit for bit the uncorrected one.
//
// A reading the kernel itself would not have taken (freq beyond its
// 500 ppm, tick beyond 10% of nominal), or a failed call, leaves 1.0.
static double RealtimeRate() {
  constexpr long kMaxFreq = 500L << 16;  // 500 ppm
  struct timex tx = {};                 // modes 0: read only, for any user
  if (adjtimex(&tx) == -1 || tx.freq < -kMaxFreq || tx.freq > kMaxFreq) {
    return 1.0;
  }
  // Doubles, so that a nonsensical tick cannot overflow: a product inside
  // the range needs both factors small, and is then exact.
  const double second_us =
      static_cast<double>(tx.tick) * static_cast<double>(sysconf(_SC_CLK_TCK));
  if (!(second_us >= 900000.0 && second_us <= 1100000.0)) return 1.0;
  return second_us / 1e6 + static_cast<double>(tx.freq) / 65536e6;
}

JNIEXPORT void JNICALL Java_com_vornix_common_unix_Varnok_init(JNIEnv*,
                                                               jclass) {
  InitializeSystemInfo();
  // The frequency is read once: a daemon's later change of it shows as
  // drift, re-measured each epoch, as before.
  cycles_to_seconds_ = RealtimeRate() / CyclesPerSecond();
  // In the counter's own ticks: a pair's width is counted in them.
  max_interval_cycles = static_cast<int64>(CyclesPerSecond() * 0.0001);
  // A pair is good only if nothing (preemption, a slow system call) came
  // between its counter read and its wall-clock read.
  do {
    base_cycletime = CycleClock::Now();
    base_walltime = WallTime_Slow();
  } while (CyclesBetween(base_cycletime, CycleClock::Now()) >
           max_interval_cycles);
  SetDrift(0.0f);
  last_adjust_time.store(CycleEpoch(base_cycletime),
                         std::memory_order_release);
}

JNIEXPORT jlong JNICALL
Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(JNIEnv*, jclass) {
  for (;;) {
    const int64 now = CycleClock::Now();
    const uint64_t epoch = CycleEpoch(now);
    // Equality, not order: a reading from an older epoch than the recorded
    // one re-measures too, rather than pairing with a drift from its future.
    if (epoch == last_adjust_time.load(std::memory_order_acquire)) {
      // Loaded after the epoch: a writer stores the drift first, so a
      // reader that sees the new epoch sees its drift.
      const double drift = GetDrift();
      // The estimate is computed only now (from calibration state that no
      // reader writes), so that it need not be kept across the call above:
      // that shortens the chain from the counter read to the result.
      return static_cast<jlong>((Estimate(now) + drift) * 1e9);
    }
    const double wall = WallTime_Slow();
    if (CyclesBetween(now, CycleClock::Now()) > max_interval_cycles) {
      continue;  // preempted between the reads: pair afresh
    }
    SetDrift(static_cast<float>(wall - Estimate(now)));
    last_adjust_time.store(epoch, std::memory_order_release);
    return static_cast<jlong>(wall * 1e9);
  }
}

JNIEXPORT jlong JNICALL
Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(JNIEnv*, jclass) {
  // Fixed once for the process: a later init must not make this clock jump.
  // In CLOCK_REALTIME's seconds, so that the kernel's frequency correction
  // moves it as it moves CLOCK_MONOTONIC, the clock of System.nanoTime().
  static const double cycles_to_nanoseconds = cycles_to_seconds_ * 1e9;
  return static_cast<jlong>(static_cast<double>(CycleClock::Now()) *
                            cycles_to_nanoseconds);
}
