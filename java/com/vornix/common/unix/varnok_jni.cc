// The native methods of com.vornix.common.unix.Varnok: a wall clock that
// costs one counter read on almost every call, and an interval clock that
// is the counter scaled to nanoseconds at the kernel's rate. The epoch
// clock is a line through a base pair (counter, wall time), plus a drift;
// remeasurer.h tells how it keeps to the system's clock.

#include <jni.h>
#include <stdint.h>

#include <atomic>

#include "com_vornix_common_unix_Varnok.h"
#include "dynamic_annotations/dynamic_annotations.h"
#include "java/com/vornix/common/unix/base/cycleclock.h"
#include "java/com/vornix/common/unix/base/sysinfo.h"
#include "java/com/vornix/common/unix/base/walltime.h"
#include "java/com/vornix/common/unix/kernel_clock.h"
#include "java/com/vornix/common/unix/remeasurer.h"
using java_com_vornix_common_unix_base::CycleClock;
using java_com_vornix_common_unix_base::CyclesPerSecond;
using java_com_vornix_common_unix_base::GetDrift;
using java_com_vornix_common_unix_base::InitializeSystemInfo;
using java_com_vornix_common_unix_base::int64;
using java_com_vornix_common_unix_base::SetDrift;
using java_com_vornix_common_unix_base::WallTime_Slow;
namespace kc = varnok_kernel_clock;
namespace rm = varnok_remeasurer;

// The block of counts that the fast path serves, as (count >> block shift)
// << 6 | generation; a generation changes whenever the word is written, so
// a reader that loads the same word before and after the line has read an
// unchanged line. A block is about a millisecond; the values at the top of
// the range (below) are in no block at all.
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
// Written by init alone: the ticks of 100 us, the widest pair ever taken.
static int64 max_interval_cycles = 0;

// Blocks of about a millisecond, and windows of about a second (a cycle
// epoch on x86-64), and the step (the kernel's word, the raw clock) four
// times a window. On x86-64 the shifts are constants, a block 0.5 to 2 ms
// at the counters' 1 to 4 GHz, so that the fast paths' tests cost what a
// cycle epoch's did: a shift by a loaded count costs Intel cores three
// micro-operations. The aarch64 timer runs at 25 MHz to 1 GHz, so there
// init chooses them: the largest powers of two ticks within 1 ms and 1 s.
#if defined(__x86_64__)
static constexpr int kBlockShift = 21, kLongShift = 32;
static inline int BlockShift() { return kBlockShift; }
static inline int LongShift() { return kLongShift; }
static void ChooseWindows(double) {}
#else
static int block_shift = 21, long_shift = 32;
static inline int BlockShift() { return block_shift; }
static inline int LongShift() { return long_shift; }

static int FloorLog2(double x) {
  int shift = 0;
  while (shift < 62 && x >= 2.0) x *= 0.5, ++shift;
  return shift;
}

static int Clamp(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }

static void ChooseWindows(double rate) {
  long_shift = Clamp(FloorLog2(rate), 12, 32);
  block_shift = Clamp(FloorLog2(rate * 1e-3), 12, long_shift);
}
#endif
static inline int StepShift() { return LongShift() - 2; }

// Words in whose block no count lies, so that every reader leaves the fast
// path: held by the one thread that writes the word (every reader meanwhile
// reads the wall clock itself, and none waits for the holder); the kernel's
// clock serving every read; the line to be started afresh by the next read.
static constexpr uint64_t kClaimed = UINT64_MAX, kKernel = UINT64_MAX - 1,
                          kRemeasure = UINT64_MAX - 2;

// The step's period in which the holder took its last step. A read of the
// interval clock in another takes the next step (a process may read that
// clock alone), and so does a read of the epoch clock while the kernel
// serves it.
static std::atomic<uint64_t> step_window(0);
// Whether the clock measures (or the kernel serves), for threads that meet
// the word held by another and read the wall clock themselves.
static std::atomic<bool> measuring_hint(false);

// The counter at the last read that left the fast path: where reads come
// further apart than a block, a re-measurement would serve no later read.
static std::atomic<int64> last_slow_read(0);

// The holder's own state: written only while the word is held, or by init.
static rm::Remeasurer remeasurer;
static unsigned generation = 0;

// A count is in the block when it agrees with the word above the
// generation's six bits, once shifted six bits less than the block.
static inline bool InBlock(int64 cycles, uint64_t block) {
  return ((static_cast<uint64_t>(cycles) >> (BlockShift() - 6)) ^ block) < 64;
}

// The fences that order the line against the block's word, and the interval
// clock against its generation. The thread sanitizer does not model fences
// (g++ refuses them under it); every access they order is atomic, so
// without them it has no race to report.
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

// Opens the block of the count for readers, with a generation of its own.
static void Open(int64 cycles) {
  ++generation;
  last_adjust_time.store(
      (static_cast<uint64_t>(cycles) >> BlockShift()) << 6 | (generation & 63u),
      std::memory_order_release);
}

static rm::Line CurrentLine() {
  return {cycles_to_seconds_.load(std::memory_order_relaxed),
          base_cycletime.load(std::memory_order_relaxed),
          base_walltime.load(std::memory_order_relaxed), GetDrift()};
}

static void StoreLine(const rm::Line& line) {
  cycles_to_seconds_.store(line.slope, std::memory_order_relaxed);
  base_cycletime.store(line.base_cycles, std::memory_order_relaxed);
  base_walltime.store(line.base_wall, std::memory_order_relaxed);
  SetDrift(line.drift);
}

// The wall clock of a pair. Measuring, the clock re-measures a thousand
// times a second, and gettimeofday's microsecond would step it by up to that
// at each: CLOCK_REALTIME to the nanosecond instead, where it can be read.
static double ReadWall(bool measuring) {
  const double realtime = measuring ? kc::RealtimeSeconds() : __builtin_nan("");
  return __builtin_isnan(realtime) ? WallTime_Slow() : realtime;
}

// CLOCK_REALTIME, for a read that the kernel serves: as a double of seconds
// made whole nanoseconds, like every other result, and so in the same grain.
static jlong KernelNanoseconds() { return static_cast<jlong>(ReadWall(true) * 1e9); }

// --- The interval clock -------------------------------------------------------
//
// A line of nanoseconds against the counter, whose slope changes only at a
// break: before it the old slope, from it on the new. The holder moves the
// break a few blocks ahead of its own count whenever the kernel's rate (or
// the counter's) changes, so a change never alters a value that any reader
// can have returned: the clock never jumps and never steps back. Two slots,
// so that a reader never meets one half written: the generation's low bit
// names the one in use, and a reader whose generation changed reads again.

namespace {
// nanoseconds = base + (count - from) * slope, in whole nanoseconds.
struct IntervalLine {
  std::atomic<int64> from{0};
  std::atomic<int64> base_ns{0};
  std::atomic<double> slope{0.0};  // ns per tick

  jlong At(int64 now) const {
    return base_ns.load(std::memory_order_relaxed) +
           static_cast<jlong>(
               static_cast<double>(CyclesBetween(from.load(std::memory_order_relaxed), now)) *
               slope.load(std::memory_order_relaxed));
  }
  void Set(int64 f, jlong base, double s) {
    from.store(f, std::memory_order_relaxed);
    base_ns.store(base, std::memory_order_relaxed);
    slope.store(s, std::memory_order_relaxed);
  }
};
// Before the break (after's from) the line in use until now, kept as it
// was, so that every count before the break reads exactly what it read;
// from the break on the new slope.
struct IntervalSlot {
  IntervalLine before, after;
};
}  // namespace

static IntervalSlot interval_slots[2];
static std::atomic<uint64_t> interval_generation(0);
// How far ahead of the holder's count a change of slope takes effect.
static constexpr int kIntervalLeadBlocks = 8;

static inline jlong IntervalAt(const IntervalSlot& s, int64 now) {
  const bool before =
      CyclesBetween(s.after.from.load(std::memory_order_relaxed), now) < 0;
  return (before ? s.before : s.after).At(now);
}

// Sets the slope from a few blocks after now on. The first one holds from
// the counter's own zero. A change whose break is still ahead stays as it
// is (the next window's step makes this one); a break far ahead is a
// counter that went back, and is moved.
static void SetIntervalSlope(int64 now, double slope) {
  const uint64_t g = interval_generation.load(std::memory_order_relaxed);
  const IntervalSlot& current = interval_slots[g & 1];
  IntervalSlot& next = interval_slots[(g + 1) & 1];
  const int64 lead = int64{kIntervalLeadBlocks} << BlockShift();
  int64 at = 0;
  jlong base = 0;
  const IntervalLine* kept = nullptr;
  if (g != 0) {
    const int64 ahead = CyclesBetween(now, current.after.from.load(std::memory_order_relaxed));
    at = static_cast<int64>(static_cast<uint64_t>(now) + static_cast<uint64_t>(lead));
    // The line the clock is on at the new break.
    kept = ahead > lead ? &current.before : &current.after;
    const double after = current.after.slope.load(std::memory_order_relaxed);
    if ((ahead > 0 && ahead <= lead) ||
        (after == slope && (ahead <= 0 || kept->slope.load(std::memory_order_relaxed) == slope))) {
      return;
    }
    base = kept->At(at);
  }
  // Readers of the slot's last use, two generations back, see a new
  // generation if they see any of these stores.
  VARNOK_FENCE(std::memory_order_release);
  if (kept != nullptr) {
    next.before.Set(kept->from.load(std::memory_order_relaxed),
                    kept->base_ns.load(std::memory_order_relaxed),
                    kept->slope.load(std::memory_order_relaxed));
  } else {
    next.before.Set(0, 0, slope);
  }
  next.after.Set(at, base, slope);
  interval_generation.store(g + 1, std::memory_order_release);
}

// --- Re-measurement, by the thread that holds the word ------------------------

// What readers take from the holder's state after a step: the interval
// clock's slope, whether the clock measures, the step's period.
static void Publish(int64 now) {
  SetIntervalSlope(now, remeasurer.slope() * 1e9);
  measuring_hint.store(remeasurer.measuring(), std::memory_order_relaxed);
  step_window.store(remeasurer.step_window(), std::memory_order_relaxed);
}

// The window's step: the kernel's word, the raw clock, and what they make
// of the interval clock's slope.
static bool Step(int64 now) {
  const bool read_clocks = remeasurer.Step(now);
  Publish(now);
  return read_clocks;
}

// Takes the word from the value read, unless another thread holds it.
static bool Claim(uint64_t block) {
  if (block == kClaimed ||
      !last_adjust_time.compare_exchange_strong(block, kClaimed, std::memory_order_acq_rel,
                                                std::memory_order_relaxed)) {
    return false;
  }
  VARNOK_FENCE(std::memory_order_release);
  return true;
}

// Gives the word back with the line as it was: to the kernel, where it
// serves now, and to the next read, where it served until now.
static void GiveBack(uint64_t block) {
  last_adjust_time.store(remeasurer.mode() == rm::Mode::kKernel ? kKernel
                         : block == kKernel                    ? kRemeasure
                                                               : block,
                         std::memory_order_release);
}

// For a read of the interval clock in a new window: the step, by whichever
// reader holds the word; none waits for another.
static __attribute__((noinline)) void StepFromInterval(int64 now) {
  const uint64_t block = last_adjust_time.load(std::memory_order_relaxed);
  if (!Claim(block)) return;
  if (remeasurer.StepDue(now)) Step(now);
  GiveBack(block);
}

// For a count outside the block the word held: moves the word on to a new
// block, re-measuring where the clock measures or the window is new. Every
// path reads the wall clock at most once: a pair that is not good is not
// tried again by this reader, which returns the wall clock it read, but
// leaves the re-measurement to the next.
static jlong MoveOn(int64 now, uint64_t block) {
  // A read two blocks or more after the last one to leave the fast path is
  // sparse: where the clock measures, the line may serve it.
  const int64 previous = last_slow_read.load(std::memory_order_relaxed);
  last_slow_read.store(now, std::memory_order_relaxed);
  const bool sparse = CyclesBetween(previous, now) >= (int64{2} << BlockShift());
  if (!Claim(block)) {
    // Another thread holds the word: this thread's own reading of the wall
    // clock serves, from the same clock as the holder's.
    return static_cast<jlong>(ReadWall(measuring_hint.load(std::memory_order_relaxed)) * 1e9);
  }
  rm::Remeasurer& r = remeasurer;
  // The step's own reads of the raw clock must not split the pair.
  if (r.StepDue(now) && Step(now)) now = CycleClock::Now();
  if (r.mode() == rm::Mode::kKernel) {
    GiveBack(block);
    return KernelNanoseconds();
  }
  if (block < kRemeasure &&
      r.LineHolds(now, cycles_to_seconds_.load(std::memory_order_relaxed), sparse)) {
    // The line holds (still the window last measured, or a sparse read
    // within the measuring line's life): the block moves on.
    const double drift = GetDrift();
    const jlong result = static_cast<jlong>((Estimate(now) + drift) * 1e9);
    Open(now);
    return result;
  }
  // Measuring, the line starts at a bracket of its own, its count the
  // middle of two counter reads around the wall clock's: between this
  // reader's count and here lay the work of the fast path and the slow,
  // which on a read after a pause, with the caches cold, is long enough to
  // put the line off by it. Elsewhere the pair is the reader's count and
  // the wall clock, as the drift of a window always was.
  const bool measuring = r.measuring();
  const int64 start = measuring ? CycleClock::Now() : now;
  const double wall = ReadWall(measuring);
  const int64 width = CyclesBetween(start, CycleClock::Now());
  if (!r.PairGood(width)) {
    // Nothing of the line was changed: give the block back as it was.
    GiveBack(block);
    return static_cast<jlong>(wall * 1e9);
  }
  const int64 at = measuring ? static_cast<int64>(static_cast<uint64_t>(start) +
                                                 static_cast<uint64_t>(width / 2))
                             : now;
  StoreLine(r.Take(at, wall, width, CurrentLine()));
  measuring_hint.store(r.measuring(), std::memory_order_relaxed);
  Open(at);
  return static_cast<jlong>(wall * 1e9);
}

// --- The native methods -----------------------------------------------------

JNIEXPORT void JNICALL Java_com_vornix_common_unix_Varnok_init(JNIEnv*,
                                                               jclass) {
  InitializeSystemInfo();
  // Readers in flight (there should be none) keep off the line.
  last_adjust_time.store(kClaimed, std::memory_order_relaxed);
  const double rate = CyclesPerSecond();
  ChooseWindows(rate);
  // In the counter's own ticks: a pair's width is counted in them.
  max_interval_cycles = static_cast<int64>(CyclesPerSecond() * 0.0001);
  rm::Remeasurer& r = remeasurer;
  r.Start(rate, max_interval_cycles, LongShift(), BlockShift(), StepShift());
  r.Step(0);
  // A pair is good only if nothing (preemption, a slow system call) came
  // between its counter read and its wall-clock read. At start-up it is
  // tried until one is.
  int64 base;
  double wall;
  do {
    base = CycleClock::Now();
    wall = ReadWall(r.measuring());
  } while (!r.PairGood(CyclesBetween(base, CycleClock::Now())));
  r.Begin(base);
  last_slow_read.store(base, std::memory_order_relaxed);
  StoreLine({r.slope(), base, wall, 0.0f});
  // A second init keeps the interval clock going from where it is.
  Publish(base);
  if (r.mode() == rm::Mode::kKernel) {
    last_adjust_time.store(kKernel, std::memory_order_release);
  } else {
    Open(base);
  }
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

// Everything but the fast path, out of line so that the fast path saves
// few registers. The readers' functions are hot: the linker puts them on
// one page with the library's PLT, so that a read that comes after a long
// pause, with the caches and TLBs cold, walks the page tables for fewer
// pages (twice over in a guest, where the walks cost most). Only a line that changed under the read sends it round
// again, with the counter read afresh.
static __attribute__((noinline, hot)) jlong ReadSlowly(int64 now, uint64_t block) {
  for (;;) {
    jlong result;
    if (InBlock(now, block)) {
      if (ReadLine(now, block, &result)) return result;
    } else if (block == kKernel && static_cast<uint64_t>(now) >> StepShift() ==
                                       step_window.load(std::memory_order_relaxed)) {
      return KernelNanoseconds();
    } else {
      return MoveOn(now, block);
    }
    now = CycleClock::Now();
    block = last_adjust_time.load(std::memory_order_acquire);
  }
}

JNIEXPORT __attribute__((hot)) jlong JNICALL
Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(JNIEnv*, jclass) {
  const int64 now = CycleClock::Now();
  const uint64_t block = last_adjust_time.load(std::memory_order_acquire);
  jlong result;
  if (InBlock(now, block) && ReadLine(now, block, &result)) return result;
  return ReadSlowly(now, block);
}

// The interval clock read again where its slope changed under the read, and
// once a window, the step, so that the slope follows the kernel's rate
// where nothing reads the epoch clock.
static __attribute__((noinline)) jlong IntervalSlowly(int64 now) {
  jlong ns;
  uint64_t g;
  do {
    g = interval_generation.load(std::memory_order_acquire);
    ns = IntervalAt(interval_slots[g & 1], now);
    VARNOK_FENCE(std::memory_order_acquire);
  } while (interval_generation.load(std::memory_order_relaxed) != g);
  if (g != 0 && static_cast<uint64_t>(now) >> StepShift() !=
                    step_window.load(std::memory_order_relaxed)) {
    StepFromInterval(now);
  }
  return ns;
}

JNIEXPORT __attribute__((hot)) jlong JNICALL
Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(JNIEnv*, jclass) {
  // The counter first, so that nothing waits across its call. Before the
  // first init both slots are zero, and so is the clock.
  const int64 now = CycleClock::Now();
  const uint64_t g = interval_generation.load(std::memory_order_acquire);
  const jlong ns = IntervalAt(interval_slots[g & 1], now);
  VARNOK_FENCE(std::memory_order_acquire);
  if (interval_generation.load(std::memory_order_relaxed) == g &&
      static_cast<uint64_t>(now) >> StepShift() == step_window.load(std::memory_order_relaxed)) {
    return ns;
  }
  return IntervalSlowly(now);
}
