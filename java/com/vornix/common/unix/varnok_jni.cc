// The native methods of com.vornix.common.unix.Varnok: a wall clock that
// costs one counter read on almost every call, and a relative clock that is
// the counter scaled to nanoseconds. The epoch clock is a line through a
// base pair (counter, wall time), plus a drift; how it keeps to the system's
// clock is told at Remeasure below.

#include <jni.h>
#include <math.h>
#include <stdint.h>

#include <atomic>

#include "com_vornix_common_unix_Varnok.h"
#include "dynamic_annotations/dynamic_annotations.h"
#include "java/com/vornix/common/unix/base/cycleclock.h"
#include "java/com/vornix/common/unix/base/sysinfo.h"
#include "java/com/vornix/common/unix/base/walltime.h"
#include "java/com/vornix/common/unix/kernel_clock.h"
using java_com_vornix_common_unix_base::CycleClock;
using java_com_vornix_common_unix_base::CyclesPerSecond;
using java_com_vornix_common_unix_base::GetDrift;
using java_com_vornix_common_unix_base::InitializeSystemInfo;
using java_com_vornix_common_unix_base::int64;
using java_com_vornix_common_unix_base::SetDrift;
using java_com_vornix_common_unix_base::WallTime_Slow;
namespace kc = varnok_kernel_clock;

// The block of counts that the fast path serves, as (count >> block shift)
// << 6 | generation: a block is about a millisecond, and a re-measurement
// comes at the first read of a new cycle epoch, or of each new block while
// the clock measures. The generation changes whenever the word is written,
// so a reader that loads the same word before and after the line has read
// an unchanged line.
static std::atomic<uint64_t> last_adjust_time(0);

namespace {
struct last_adjust_time_annotator {
  last_adjust_time_annotator() {
    ANNOTATE_BENIGN_RACE_SIZED(&last_adjust_time, sizeof(last_adjust_time), "last_adjust_time: Race can cause only a minor drift");
  }
} thelast_adjust_time_annotator;
}  // namespace

// The line, written while the block's word is held (below) and read by the
// fast path between two loads of the word. Atomics only so that the race is
// defined: relaxed loads and stores are plain moves.
static std::atomic<double> cycles_to_seconds_(0.0);  // CLOCK_REALTIME s per tick
static std::atomic<int64> base_cycletime(0);
static std::atomic<double> base_walltime(0.0);
// Written by init alone.
static int64 max_interval_cycles = 0;  // the ticks of 100 us
// While the clock measures, each pair starts a line that serves a whole
// block, so a pair that a preemption or a VM exit split by up to 100 us
// would put that block that far off: a pair must be this tight (the ticks
// of 5 us; a good one spans well under 1 us), for kTightTries tries, after
// which the 100 us do, so that a host whose clock reads are system calls
// still gets a clock.
static int64 tight_interval_cycles = 0;
static constexpr int kTightTries = 8;
static double relative_seconds_per_tick = 0.0;  // init's slope, for intervals

// Blocks of about a millisecond: a clock that measures re-measures at the
// first read of each; one that does not only moves the word on to the new
// block (no system call), and re-measures at each new cycle epoch. On
// x86-64 the shift is a constant, 0.5 to 2 ms at the counters' 1 to 4 GHz,
// so that the fast path's test costs what a cycle epoch's did: a shift by
// a loaded count costs Intel cores three micro-operations. The aarch64
// timer runs at 25 MHz to 1 GHz, so there init chooses it.
#if defined(__x86_64__)
static constexpr int kBlockShift = 21;
static inline int BlockShift() { return kBlockShift; }
#else
static int block_shift = 21;
static inline int BlockShift() { return block_shift; }
#endif

// Held by the one thread that writes the word: its block is one no count
// reaches, so every reader meanwhile takes the slow path, and none waits
// for the holder.
static constexpr uint64_t kClaimed = UINT64_MAX;

// A count is in the block when it agrees with the word above the
// generation's six bits, once shifted six bits less than the block.
static inline bool InBlock(int64 cycles, uint64_t block) {
  return ((static_cast<uint64_t>(cycles) >> (BlockShift() - 6)) ^ block) < 64;
}

// The fences that order the line against the block's word. The thread
// sanitizer does not model fences (g++ refuses them under it); every access
// they order is atomic, so without them it has no race to report.
#if defined(__SANITIZE_THREAD__)
#define VARNOK_FENCE(order) ((void)0)
#else
#define VARNOK_FENCE(order) std::atomic_thread_fence(order)
#endif

// Ticks from start to end. Wrapping, so that a counter that jumps (or a
// reading on a core whose counter lags) cannot overflow the subtraction.
static inline int64 CyclesBetween(int64 start, int64 end) {
  return static_cast<int64>(static_cast<uint64_t>(end) -
                            static_cast<uint64_t>(start));
}

// The wall time that the cycle count stands for by the line alone.
static inline double Estimate(int64 now) {
  return base_walltime.load(std::memory_order_relaxed) +
         static_cast<double>(CyclesBetween(
             base_cycletime.load(std::memory_order_relaxed), now)) *
             cycles_to_seconds_.load(std::memory_order_relaxed);
}

// --- Re-measurement: what the thread holding the word keeps ---------------
//
// On a host that nothing disciplines, the clock re-measures once a cycle
// epoch (2^32 ticks) against gettimeofday, and a re-measurement only
// replaces the drift: the clock is exactly base + ticks * slope + drift.
// Where a daemon steers the kernel's clock, or the clock was stepped, or the
// counter jumped or changed its rate, the clock *measures*: it re-measures
// every block, against CLOCK_REALTIME, each time moving the base pair to the
// pair it has just taken, with the slope of CLOCK_MONOTONIC against the
// counter, and a change of the kernel's frequency taken up at once.

// A drift past this is a step of the clock or a jump of the counter: it is
// folded into a new base rather than kept in a float, whose resolution at
// an hour (244 us) would be the clock's error from then on.
static constexpr double kFoldSeconds = 1e-3;
// Undisciplined, the drift stays within gettimeofday's microsecond from
// epoch to epoch. A larger change means the counter's rate has moved.
static constexpr double kRateMovedSeconds = 5e-6;
// How long a clock that measures keeps doing so once the kernel says
// nothing steers it any more and nothing has moved.
static constexpr double kSettleSeconds = 2.0;
// The slope is refitted over this many blocks: long enough that
// CLOCK_MONOTONIC's and the counter's read jitter are well under 1 ppm.
static constexpr int kRefitWindows = 16;
// A fitted slope this far from the discovered rate is a counter that jumped
// between the two pairs, not a rate.
static constexpr double kPlausibleSlope = 0.2;

namespace {
struct Remeasurer {
  int long_shift = 32;  // the window a clock that does not measure keeps
  uint64_t measured_window = 0;  // the count >> long_shift measured last
  double nominal_slope = 0.0;  // seconds per tick by the discovered rate
  double kernel_rate = 1.0;    // the kernel's 1 + f at the last reading
  bool kernel_readable = false;
  bool measuring = false;
  int64 settled_from = 0;  // counter at which measuring last had a reason
  bool have_drift = false;
  double last_drift = 0.0;
  bool have_anchor = false;  // a (counter, CLOCK_MONOTONIC) pair to fit from
  int64 anchor_cycles = 0;
  double anchor_monotonic = 0.0;
  unsigned generation = 0;
};
Remeasurer remeasurer;
}  // namespace

// Whether the clock measures, for threads that meet the word held by
// another and read the wall clock themselves.
static std::atomic<bool> measuring_hint(false);

// The windows for a counter rate. On x86-64 the long one stays a cycle
// epoch; on aarch64, where 2^32 ticks are up to 172 s, it is the largest
// power of two within a second, and a block the largest within 1 ms.
#if !defined(__x86_64__)
static int FloorLog2(double x) {
  int shift = 0;
  while (shift < 62 && x >= 2.0) x *= 0.5, ++shift;
  return shift;
}

static int Clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }
#endif

static void ChooseWindows(double rate) {
#if defined(__x86_64__)
  (void)rate;
  remeasurer.long_shift = 32;
#else
  remeasurer.long_shift = Clamp(FloorLog2(rate), 12, 32);
  block_shift = Clamp(FloorLog2(rate * 1e-3), 12, remeasurer.long_shift);
#endif
}

// Opens the block of the count for readers, with a generation of its own.
static void Open(int64 cycles) {
  ++remeasurer.generation;
  last_adjust_time.store(
      (static_cast<uint64_t>(cycles) >> BlockShift()) << 6 |
          (remeasurer.generation & 63u),
      std::memory_order_release);
}

// Whether the kernel's word (or its absence) calls for measuring; takes up
// a change of its frequency at once, scaling the slope by it.
static bool KernelAsksToMeasure(double* slope) {
  Remeasurer& r = remeasurer;
  const kc::Discipline d = kc::ReadDiscipline();
  if (d.readable && r.kernel_readable && d.rate != r.kernel_rate) {
    *slope *= d.rate / r.kernel_rate;
    r.have_anchor = false;  // the fit would straddle the change
  }
  r.kernel_readable = d.readable;
  if (d.readable) r.kernel_rate = d.rate;
  return d.disciplined;  // unreadable counts as disciplined: measure
}

// The slope of CLOCK_MONOTONIC against the counter since the anchor, once
// the anchor is old enough; the slope unchanged otherwise.
static double Refit(int64 now, double monotonic, double slope) {
  Remeasurer& r = remeasurer;
  if (isnan(monotonic)) return slope;
  if (!r.have_anchor) {
    r.have_anchor = true;
    r.anchor_cycles = now;
    r.anchor_monotonic = monotonic;
    return slope;
  }
  const int64 ticks = CyclesBetween(r.anchor_cycles, now);
  if (ticks < (int64{kRefitWindows} << BlockShift())) return slope;
  const double fitted =
      (monotonic - r.anchor_monotonic) / static_cast<double>(ticks);
  r.anchor_cycles = now;
  r.anchor_monotonic = monotonic;
  return fabs(fitted / r.nominal_slope - 1.0) < kPlausibleSlope ? fitted : slope;
}

// Takes the good pair (now, wall) as the new re-measurement. monotonic is
// CLOCK_MONOTONIC read inside the pair, or a NaN where it was not.
static void Remeasure(int64 now, double wall, double monotonic) {
  Remeasurer& r = remeasurer;
  double slope = cycles_to_seconds_.load(std::memory_order_relaxed);
  const bool disciplined = KernelAsksToMeasure(&slope);
  const double drift = wall - Estimate(now);
  const bool moved = fabs(drift) > kFoldSeconds ||
                     (r.have_drift && !r.measuring &&
                      fabs(drift - r.last_drift) > kRateMovedSeconds);
  if (moved) r.have_anchor = false;  // a step or a jump: fit afresh
  const bool reason = disciplined || moved || !r.kernel_readable;
  if (reason) r.settled_from = now;
  const bool was_measuring = r.measuring;
  r.measuring =
      reason ||
      (r.measuring && static_cast<double>(CyclesBetween(r.settled_from, now)) *
                              r.nominal_slope < kSettleSeconds);
  r.measured_window = static_cast<uint64_t>(now) >> r.long_shift;
  if (!r.measuring && !was_measuring && !moved) {
    // Nothing steers the clock and nothing moved: only the drift changes.
    r.have_drift = true;
    r.last_drift = drift;
    SetDrift(static_cast<float>(drift));
    return;
  }
  // Measuring, or leaving it: the line starts afresh at this pair.
  if (r.measuring) slope = Refit(now, monotonic, slope);
  cycles_to_seconds_.store(slope, std::memory_order_relaxed);
  base_cycletime.store(now, std::memory_order_relaxed);
  base_walltime.store(wall, std::memory_order_relaxed);
  SetDrift(0.0f);
  r.have_drift = false;
  measuring_hint.store(r.measuring, std::memory_order_relaxed);
}

// --- The native methods -----------------------------------------------------

JNIEXPORT void JNICALL Java_com_vornix_common_unix_Varnok_init(JNIEnv*,
                                                               jclass) {
  InitializeSystemInfo();
  Remeasurer& r = remeasurer;
  r = Remeasurer();
  // Readers in flight (there should be none) keep off the line.
  last_adjust_time.store(kClaimed, std::memory_order_relaxed);
  const double rate = CyclesPerSecond();
  r.nominal_slope = 1.0 / rate;
  ChooseWindows(rate);
  double unused;
  r.measuring = KernelAsksToMeasure(&unused);
  const double slope = r.kernel_rate / rate;
  cycles_to_seconds_.store(slope, std::memory_order_relaxed);
  relative_seconds_per_tick = slope;
  // In the counter's own ticks: a pair's width is counted in them.
  max_interval_cycles = static_cast<int64>(CyclesPerSecond() * 0.0001);
  tight_interval_cycles = static_cast<int64>(rate * 5e-6);
  // A pair is good only if nothing (preemption, a slow system call) came
  // between its counter read and its wall-clock read.
  int64 base;
  double wall, monotonic;
  int tries = 0;
  do {
    base = CycleClock::Now();
    wall = WallTime_Slow();
    monotonic = r.measuring ? kc::MonotonicSeconds() : NAN;
  } while (CyclesBetween(base, CycleClock::Now()) >
           (r.measuring && ++tries <= kTightTries ? tight_interval_cycles
                                                  : max_interval_cycles));
  base_cycletime.store(base, std::memory_order_relaxed);
  base_walltime.store(wall, std::memory_order_relaxed);
  SetDrift(0.0f);
  r.settled_from = base;
  r.measured_window = static_cast<uint64_t>(base) >> r.long_shift;
  if (r.measuring) Refit(base, monotonic, slope);
  measuring_hint.store(r.measuring, std::memory_order_relaxed);
  Open(base);
}

// The fast path's result for a count in the block that the word held, if
// the word still holds it after the line was read.
static inline bool ReadLine(int64 now, uint64_t block, jlong* result) {
  // Loaded after the block: a writer stores the drift and the line before
  // it opens a block, so a reader that sees the block sees them.
  const double drift = GetDrift();
  const double estimate = Estimate(now);
  // The same word still, so the same line: a re-measurement that ran
  // meanwhile (the line is several words) sends the read round again. On
  // x86-64 the fence is the compiler's alone.
  VARNOK_FENCE(std::memory_order_acquire);
  if (last_adjust_time.load(std::memory_order_relaxed) != block) return false;
  *result = static_cast<jlong>((estimate + drift) * 1e9);
  return true;
}

// The wall clock of a pair. Measuring, the clock re-measures a thousand
// times a second, and gettimeofday's microsecond would step it by up to that
// at each: CLOCK_REALTIME to the nanosecond instead, where it can be read.
static double ReadWall(bool measuring) {
  const double realtime = measuring ? kc::RealtimeSeconds() : NAN;
  return isnan(realtime) ? WallTime_Slow() : realtime;
}

// For a count outside the block the word held: moves the word on to a new
// block, re-measuring if the clock's window is new. False if its pair was
// not good (the thread was preempted between the reads).
static bool MoveOn(int64 now, uint64_t block, bool tight, jlong* result) {
  if (block == kClaimed ||
      !last_adjust_time.compare_exchange_strong(block, kClaimed,
                                                std::memory_order_acq_rel,
                                                std::memory_order_relaxed)) {
    // Another thread holds the word: a good pair of this thread's own
    // serves, as the re-measuring thread's serves it, from the same clock.
    const double wall = ReadWall(measuring_hint.load(std::memory_order_relaxed));
    if (CyclesBetween(now, CycleClock::Now()) > max_interval_cycles) return false;
    *result = static_cast<jlong>(wall * 1e9);
    return true;
  }
  VARNOK_FENCE(std::memory_order_release);
  Remeasurer& r = remeasurer;
  if (!r.measuring &&
      static_cast<uint64_t>(now) >> r.long_shift == r.measured_window) {
    // Still the window last measured: the line holds, the block moves on.
    const double drift = GetDrift();
    *result = static_cast<jlong>((Estimate(now) + drift) * 1e9);
    Open(now);
    return true;
  }
  const double wall = ReadWall(r.measuring);
  const double monotonic = r.measuring ? kc::MonotonicSeconds() : NAN;
  if (CyclesBetween(now, CycleClock::Now()) >
      (r.measuring && tight ? tight_interval_cycles : max_interval_cycles)) {
    // Nothing was changed: give the block back as it was.
    uint64_t claimed = kClaimed;
    last_adjust_time.compare_exchange_strong(claimed, block,
                                             std::memory_order_release,
                                             std::memory_order_relaxed);
    return false;
  }
  Remeasure(now, wall, monotonic);
  Open(now);
  *result = static_cast<jlong>(wall * 1e9);
  return true;
}

// Everything but the fast path, out of line so that the fast path saves
// few registers. Each round reads the counter afresh.
static __attribute__((noinline)) jlong ReadSlowly(int64 now, uint64_t block) {
  jlong result;
  for (int tries = 1;; ++tries) {
    if (InBlock(now, block) ? ReadLine(now, block, &result)
                            : MoveOn(now, block, tries <= kTightTries, &result)) {
      return result;
    }
    now = CycleClock::Now();
    block = last_adjust_time.load(std::memory_order_acquire);
  }
}

JNIEXPORT jlong JNICALL
Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(JNIEnv*, jclass) {
  const int64 now = CycleClock::Now();
  const uint64_t block = last_adjust_time.load(std::memory_order_acquire);
  jlong result;
  if (InBlock(now, block) && ReadLine(now, block, &result)) return result;
  return ReadSlowly(now, block);
}

JNIEXPORT jlong JNICALL
Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(JNIEnv*, jclass) {
  // Fixed once for the process: a later init must not make this clock jump.
  // In CLOCK_REALTIME's seconds as init found them, so that the kernel's
  // frequency correction moves it as it moves CLOCK_MONOTONIC, the clock of
  // System.nanoTime(); a slew's passing rate does not.
  static const double cycles_to_nanoseconds = relative_seconds_per_tick * 1e9;
  return static_cast<jlong>(static_cast<double>(CycleClock::Now()) *
                            cycles_to_nanoseconds);
}
