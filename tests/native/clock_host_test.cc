// The clock on scripted hosts whose kernel clock a daemon disciplines,
// steps or slews, and whose counter jumps or changes its rate: the epoch
// clock's error against CLOCK_REALTIME, the interval clock's rate against
// CLOCK_MONOTONIC, and how often the clock asks the kernel's word.
//
// CLOCK_REALTIME starts at 1000 s here, where a double's grain is 1e-13 s,
// so that no error of the slope hides in the 256 ns grain of present-day
// dates.

#include <errno.h>
#include <stdint.h>
#include <sys/timex.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "gtest/gtest.h"
#include "tests/native/clock_fake.h"
#include "tests/support/fresh_process.h"
#include "tests/support/scripted_adjtimex.h"

namespace {

using namespace clock_fake;
namespace sa = scripted_adjtimex;

// A block is 0.84 ms; a window is 1.72 s on x86-64 (2^32 ticks), 0.86 s on
// aarch64 (the largest power of two within a second); a step comes four
// times a window.
constexpr double kRate = 2.5e9;
constexpr int64_t kS = 1000000000, kMs = 1000000;
const int kWindowShift = LongShift(kRate);
const double kWindowS = std::ldexp(1.0, kWindowShift) / kRate;
// The steps that a counter at kRate makes over that many seconds.
int Steps(double seconds) { return static_cast<int>(seconds * kRate / std::ldexp(1.0, kWindowShift - 2)); }
constexpr int64_t kCounter0 = 400 * kEpoch + 12345;

// Each host's counter starts where no earlier one in this process went, a
// whole number of windows on: the interval clock, which lives as long as
// the process, then sees a counter that only goes forward from test to test.
int64_t NextCounter0() {
  static int64_t runs = 0;
  return kCounter0 + (runs++ << 36);
}

// The kernel's clocks and the counter, as functions of virtual time: what
// a scenario sets.
struct Clocks {
  int64_t counter0 = NextCounter0();
  Track counter{static_cast<long double>(counter0), kRate * 1e-9};
  Track monotonic{5000.0L * kS, 1};  // at the kernel's rate over the raw clock
  Track steps{0, 0};                 // of CLOCK_REALTIME, as jumps
  bool raw = true;                   // the raw clock and MONOTONIC readable

  void Start() const {
    Host h;
    h.counter = counter;
    h.monotonic = raw ? std::function<long double(int64_t)>(monotonic) : nullptr;
    h.raw = raw ? std::function<long double(int64_t)>([](int64_t t) {
                    return 4000.0L * kS + static_cast<long double>(t);
                  })
                : nullptr;
    h.realtime = [m = monotonic, s = steps](int64_t t) {
      return 1000.0L * kS + (m(t) - 5000.0L * kS) + s(t);
    };
    StartHost(h);
  }
  long double Realtime(int64_t t) const { return 1000.0L * kS + (monotonic(t) - 5000.0L * kS) + steps(t); }
};

long double PerNs(double ppm) { return 1 + static_cast<long double>(ppm) * 1e-6L; }

// How far a result lies outside what CLOCK_REALTIME read from t0 to t1.
int64_t Outside(const Clocks& c, int64_t t0, int64_t t1, int64_t result) {
  const long double lo = c.Realtime(t0), hi = c.Realtime(t1), r = static_cast<long double>(result);
  return static_cast<int64_t>(r < lo ? r - lo : r > hi ? r - hi : 0);
}

sa::Reading Unreadable() {
  sa::Reading r = sa::Undisciplined();
  r.result = -1;
  r.error = EPERM;  // a seccomp filter against the clock calls
  return r;
}

sa::Reading With(sa::Reading r, long freq, int status, long offset = 0) {
  r.freq = freq;
  r.status = status;
  r.offset = offset;
  return r;
}

// The interval clock's rate over CLOCK_MONOTONIC's between two readings,
// each taken between two virtual times, in ppm.
struct IntervalMark {
  int64_t t;
  jlong value;
};
IntervalMark Mark() {
  const int64_t t0 = HostNs();
  // The clock's value is that of its first read, the counter's; a step it
  // takes after that makes the call longer, not its reading later.
  return {t0 + Fake().host.counter_read_ns / 2, Relative()};
}
double RatePpm(const Clocks& c, const IntervalMark& a, const IntervalMark& b) {
  return static_cast<double>((static_cast<long double>(b.value - a.value) /
                                  (c.monotonic(b.t) - c.monotonic(a.t)) -
                              1) *
                             1e6L);
}

// --- The epoch clock through an event -----------------------------------------

struct Event {
  const char* what;
  sa::Reading before, after;
  double ppm_before, ppm_after;  // CLOCK_MONOTONIC over the raw clock
  double step_s;                 // CLOCK_REALTIME steps
  int64_t jump_ticks;            // the counter jumps
  double counter_factor;         // its rate after, over before
  bool measures_at_end;  // re-measures at every block by the run's end
  int64_t bound_ns;      // |error| before the event and once recovered
  double at_s;           // the event
  double recover_s;      // from the event to being within the bound again
};

// The run ends at 7 s; the clock is read every 100 us.
constexpr int64_t kEnd = 7 * kS, kGap = 100000;

struct Outcome {
  bool off = false;  // a read was off its bound: the run stopped there
  int64_t worst = 0;
  int measured_last_second = 0, word_reads = 0;
  double interval_ppm = 0;  // over the last second
  bool interval_back = false;
};

Outcome RunThrough(const Event& e) {
  const int64_t at = static_cast<int64_t>(e.at_s * kS);
  const int64_t recovered = at + static_cast<int64_t>(e.recover_s * kS);
  Clocks c;
  c.counter = Track(c.counter0, kRate * 1e-9)
                  .From(at, kRate * 1e-9 * e.counter_factor, static_cast<long double>(e.jump_ticks));
  c.monotonic = Track(5000.0L * kS, PerNs(e.ppm_before)).From(at, PerNs(e.ppm_after));
  c.steps = Track(0, 0).From(at, 0, static_cast<long double>(e.step_s) * 1e9L);
  sa::Script(e.before);
  Fake().rate = kRate;
  c.Start();
  Init();
  Outcome o;
  bool after = false;
  IntervalMark last_second{0, 0};
  jlong previous_interval = 0;
  while (HostNs() < kEnd) {
    if (!after && HostNs() >= at) {
      after = true;
      o.word_reads += sa::Calls();
      sa::Script(e.after);
    }
    t_wall_called = false;
    const int64_t t0 = HostNs();
    const jlong result = Epoch();
    const int64_t error = Outside(c, t0, HostNs(), result);
    o.measured_last_second += t_wall_called && t0 > kEnd - kS;
    if (!after || t0 >= recovered) {
      o.worst = std::max(o.worst, std::abs(error));
      if (std::abs(error) > e.bound_ns) {
        ADD_FAILURE() << "off by " << error << " ns at " << t0 * 1e-9 << " s";
        o.off = true;
        return o;
      }
    }
    const IntervalMark m = Mark();
    o.interval_back |= m.value < previous_interval && e.jump_ticks >= 0;
    previous_interval = m.value;
    if (last_second.t == 0 && m.t >= kEnd - kS) last_second = m;
    Pass(kGap);
  }
  o.word_reads += sa::Calls();
  o.interval_ppm = RatePpm(c, last_second, Mark());
  return o;
}

// How soon the clock is right again after each event, and how right: within
// gettimeofday's microsecond where nothing steers the clock, within tens of
// nanoseconds where it measures against CLOCK_REALTIME, and exact where the
// kernel serves. The interval clock ends within 0.5 ppm of CLOCK_MONOTONIC's
// rate, and never steps back. The kernel's word is read at each step,
// whatever the clock does, and a few times more where something moved.
TEST_F(ClockTest, KeepsUpWithTheDisciplineStepsAndJumps) {
  const sa::Reading none = sa::Undisciplined(), unreadable = Unreadable();
  const sa::Reading pll = With(Disciplined(0), 0, STA_PLL | STA_NANO);  // slews nothing freq shows
  // chronyd before its first synchronisation leaves STA_UNSYNC set while it
  // sets freq; an offset handed to the kernel is slewed with nothing else.
  const sa::Reading unsynced = With(none, 20 * kPpm, STA_UNSYNC);
  const sa::Reading offset = With(none, 0, STA_UNSYNC, 500);
  // chronyd slewing 500 ms away at nearly its 83,333 ppm, through tick:
  // 833 us more in every 10 ms tick.
  const long fast_us = sa::Undisciplined().tick / 12;
  const sa::Reading fast = Disciplined(0, fast_us);
  const double fast_ppm = 1e6 * static_cast<double>(fast_us) / static_cast<double>(sa::Undisciplined().tick);
  // A change of the kernel's word counts from the next step, a quarter of
  // a window on; the PLL's, which the word does not show, from the second,
  // when a whole step's period has measured it; a move of the counter's
  // rate, from the first or second step and a refit 16 blocks later; a
  // step of CLOCK_REALTIME, which only a pair shows, from the next window.
  // Where the kernel serves, every read is right. Measuring, a line is
  // exact where the rate is known; where it is not yet (the PLL's, an
  // offset's, until a step has measured it), lines live only while they
  // end within 200 ns, and each at most twice as long as the last.
  const Event events[] = {
      {"freq changes in mid-run", Disciplined(500 * kPpm), Disciplined(-500 * kPpm), 500, -500, 0,
       0, 1, true, 50, 1, 0.5},
      {"the kernel's PLL slews, freq says nothing", pll, pll, 150, -80, 0, 0, 1, true, 450, 1, 1},
      {"chronyd before its first sync: freq set, STA_UNSYNC", unsynced, unsynced, 20, 20, 0, 0, 1,
       true, 50, 1, 0.5},
      {"an offset being slewed, nothing else", offset, offset, 30, 30, 0, 0, 1, true, 450, 1, 0.5},
      {"adjtimex unreadable, a daemon's 40 ppm", unreadable, unreadable, 0, 40, 0, 0, 1, true, 450,
       1, 0.5},
      {"chronyd slewing through tick since before init", fast, fast, fast_ppm, fast_ppm, 0, 0, 1,
       true, 50, 1, 0},
      {"chronyd's fast slew ends", fast, Disciplined(0), fast_ppm, 0, 0, 0, 1, true, 50, 1, 0},
      // Read densely, a line lives a block: a slew through tick that starts
      // between steps (+3,100 ppm) puts one block off, then the block's
      // end calls the step, and the kernel serves.
      {"chronyd starts to slew through tick", Disciplined(0), Disciplined(0, 31), 0, 3100, 0, 0, 1,
       true, 3000, 1, 0},
      // A float of an hour is 244 us coarse: a step (by a time that no
      // float holds) must be folded into the base, forwards or back, met
      // with a drift or without one.
      {"a step of -1 h, met by the first re-measurement", none, none, 0, 0, -3600.1234567, 0, 1,
       false, 1100, 1, 1.8},
      {"a step of -1 h, met by the second", none, none, 0, 0, -3600.1234567, 0, 1, false, 1100, 2.5,
       1.8},
      {"a step of +1 h", none, none, 0, 0, 3600.1234567, 0, 1, false, 1100, 1, 1.8},
      {"the counter jumps 2^36 ticks", none, none, 0, 0, 0, int64_t{1} << 36, 1, false, 1100, 1,
       0.1},
      {"the counter's rate moves 10 ppm", none, none, 0, 0, 0, 0, 1 + 10e-6, false, 1100, 1, 1},
      {"the counter's rate moves 300 ppm", none, none, 0, 0, 0, 0, 1.0003, false, 1100, 1, 1},
      {"the counter's rate moves 40%", none, none, 0, 0, 0, 0, 1.4, false, 1100, 1, 1},
      // Measuring, the line's end shows it off, and the step comes at once.
      {"the counter's rate moves 40% under a daemon", Disciplined(20 * kPpm),
       Disciplined(20 * kPpm), 20, 20, 0, 0, 1.4, true, 50, 1, 0.3},
      {"nothing happens", none, none, 0, 0, 0, 0, 1, false, 1100, 1, 0},
  };
  for (const Event& e : events) {
    SCOPED_TRACE(e.what);
    const Outcome o = RunThrough(e);
    if (o.off) continue;
    // Measuring, these dense reads re-measure every block; not, every
    // window.
    if (e.measures_at_end) {
      EXPECT_GE(o.measured_last_second, 100);
    } else {
      EXPECT_LE(o.measured_last_second, static_cast<int>(1 / kWindowS) + 1);
    }
    EXPECT_LE(std::abs(o.interval_ppm), 0.5);
    EXPECT_FALSE(o.interval_back);
    // Init's, a step's, and the few that what moved adds.
    const int steps = Steps(e.at_s + (7 - e.at_s) * e.counter_factor);
    EXPECT_LE(o.word_reads, steps + 6);
    EXPECT_GE(o.word_reads, steps - 1);
    EXPECT_FALSE(sa::AskedToWrite());
  }
  // Whether a seccomp filter may kill at adjtimex is asked once for the
  // process, whatever the answer.
  EXPECT_EQ(SeccompQueries(), 1);
}

// Where clock_gettime cannot be read at all (a glibc before 2.17), only the
// drift between windows shows a counter whose rate moved: the clock must
// then measure, though it cannot fit the slope.
TEST_F(ClockTest, ACounterRateMoveShowsInTheDriftAlone) {
  const sa::Reading none = sa::Undisciplined();
  for (const double ppm : {10.0, 300.0}) {
    SCOPED_TRACE(::testing::Message() << ppm << " ppm");
    Clocks c;
    c.counter = Track(c.counter0, kRate * 1e-9).From(kS, kRate * 1e-9 * (1 + ppm * 1e-6));
    c.raw = false;
    sa::Script(none);
    Fake().rate = kRate;
    c.Start();
    Init();
    bool measured = false;  // a block re-measured after the event
    int64_t last_measured = 0;
    while (HostNs() < kEnd && !measured) {
      t_wall_called = false;
      Epoch();
      if (t_wall_called) {
        measured = HostNs() > kS && HostNs() - last_measured < 2 * kMs;
        last_measured = HostNs();
      }
      Pass(kGap);
    }
    EXPECT_TRUE(measured);
  }
}

// --- A pair that a VM exit split, and the slope kept after measuring -------

// A daemon steers the clock for 3 s and then stops. Every read of the
// kernel's clocks meanwhile takes up to 200 ns longer than it should, and
// one, at 2 s, 2 us longer (a VM exit): each pair the clock takes is off
// by as much. Once the clock is back to windows, its slope must be the
// counter's rate times the kernel's, to well under 0.1 ppm: no pair's error
// may stay in it, or the error grows by it through every window.
TEST_F(ClockTest, ASlopeKeptAfterMeasuringHoldsNoPairsError) {
  Clocks c;
  c.monotonic = Track(5000.0L * kS, PerNs(30)).From(3 * kS, 1);
  Fake().rate = kRate;
  c.Start();
  Fake().host.read_delay_ns = [](int64_t t) -> int64_t {
    if (t >= 2 * kS && t < 2 * kS + kGap) return 2000;
    return static_cast<int64_t>((static_cast<uint64_t>(t) * 2654435761u >> 7) % 200);
  };
  sa::Script(Disciplined(30 * kPpm));
  Init();
  // From 6 s on, the clock is back to windows: within each, the drift is
  // fixed and the error changes by the slope's error alone.
  uint64_t window = 0;
  long double first = 0, last = 0;
  int windows = 0;
  long double worst_growth = 0;
  bool stopped = false;
  while (HostNs() < 14 * kS) {
    if (!stopped && HostNs() >= 3 * kS) stopped = true, sa::Script(sa::Undisciplined());
    t_wall_called = false;
    const int64_t t0 = HostNs();
    const jlong result = Epoch();
    const long double error = result - c.Realtime((t0 + HostNs()) / 2);
    if (t0 >= 6 * kS && !t_wall_called) {
      const uint64_t w = static_cast<uint64_t>(t_last_now) >> kWindowShift;
      if (w != window) {
        if (window != 0) worst_growth = std::max(worst_growth, fabsl(last - first)), ++windows;
        window = w, first = error;
      }
      last = error;
    }
    Pass(kGap);
  }
  EXPECT_GE(windows, 3);
  // 0.1 ppm of a window.
  EXPECT_LE(worst_growth, 0.1e3 * kWindowS) << "the slope is off by " << worst_growth / kWindowS / 1e3
                                            << " ppm";
}

// --- Sparse reads --------------------------------------------------------------

// A read every 2 ms, while a daemon holds the kernel's frequency, each read
// of the kernel's clocks up to 200 ns late: the line serves them, up to a
// fifth of a second, so that few pay a pair. Until two steps have measured
// it, the PLL slews 20 ppm that freq does not show, and from 3 s 40 ppm:
// the lines in use go off by that times their age, each line at most twice
// as long as the last that kept to the clock, and come back. Read densely
// from 7 s, the line lives a block again: chronyd starting to slew through
// tick at 7.5 s puts no read more than a block's worth off.
TEST_F(ClockTest, SparseReadsTakeTheLineWhileItKeepsToTheClock) {
  Clocks c;
  c.monotonic = Track(5000.0L * kS, PerNs(30)).From(3 * kS, PerNs(50)).From(7500 * kMs, PerNs(3110));
  sa::Script(Disciplined(10 * kPpm));
  Fake().rate = kRate;
  c.Start();
  Fake().host.read_delay_ns = [](int64_t t) -> int64_t {
    return static_cast<int64_t>((static_cast<uint64_t>(t) * 2654435761u >> 7) % 200);
  };
  Init();
  int reads = 0, pairs = 0;
  int64_t worst[5] = {};  // learning, steady, changing, recovered, dense
  bool slewing = false;
  while (HostNs() < 8 * kS) {
    const int64_t t0 = HostNs();
    if (!slewing && t0 >= 7500 * kMs) slewing = true, sa::Script(Disciplined(10 * kPpm, 31));
    t_wall_called = false;
    const jlong result = Epoch();  // before the time after it: arguments have no order
    const int64_t error = std::abs(Outside(c, t0, HostNs(), result));
    const int phase = t0 < kS ? 0 : t0 < 3 * kS ? 1 : t0 < 4 * kS ? 2 : t0 < 7 * kS ? 3 : 4;
    worst[phase] = std::max(worst[phase], error);
    if (phase == 1) ++reads, pairs += t_wall_called;
    Pass(phase == 4 ? 100000 : 2 * kMs);
  }
  Fake().host.read_delay_ns = nullptr;
  EXPECT_LE(pairs, reads / 50);
  EXPECT_LE(worst[0], 800);
  EXPECT_LE(worst[1], 250);
  EXPECT_LE(worst[2], 40e-6 * 0.42 * kS);  // 40 ppm of a step's period
  EXPECT_GT(worst[2], worst[1]);
  EXPECT_LE(worst[3], 600);
  EXPECT_LE(worst[4], 3000);
}

// --- The interval clock --------------------------------------------------------

struct IntervalCase {
  const char* what;
  sa::Reading at_init, later;
  double ppm_at_init, ppm_later;  // CLOCK_MONOTONIC over the raw clock
  double change_s;
};

// The interval clock keeps CLOCK_MONOTONIC's rate whatever the kernel did
// at init, with nothing but it read: within 1 ppm over the last 10 s of 15,
// never stepping back, and never jumping where its slope changes.
TEST_F(ClockTest, TheIntervalClockKeepsTheKernelsRate) {
  const sa::Reading none = sa::Undisciplined();
  const sa::Reading slewing = Disciplined(0, 31);  // +3,100 ppm through tick
  const IntervalCase cases[] = {
      {"a slew through tick at init that then ends", slewing, Disciplined(0), 3100, 0, 1},
      {"a frequency learned after init", none, Disciplined(100 * kPpm), 0, 100, 3},
      {"a steady frequency", Disciplined(-200 * kPpm), Disciplined(-200 * kPpm), -200, -200, 3},
      {"the PLL slewing, freq saying nothing", With(Disciplined(0), 0, STA_PLL),
       With(Disciplined(0), 0, STA_PLL), 6, 6, 3},
      {"adjtimex unreadable, a daemon's 40 ppm after init", Unreadable(), Unreadable(), 0, 40, 3},
  };
  for (const IntervalCase& k : cases) {
    SCOPED_TRACE(k.what);
    const int64_t change = static_cast<int64_t>(k.change_s * kS);
    Clocks c;
    c.monotonic = Track(5000.0L * kS, PerNs(k.ppm_at_init)).From(change, PerNs(k.ppm_later));
    sa::Script(k.at_init);
    Fake().rate = kRate;
    c.Start();
    Init();
    const int wall_reads = Fake().host_wall_reads;
    bool changed = false;
    IntervalMark previous = Mark(), from{0, 0};
    int64_t worst_jump = 0;
    while (HostNs() < 15 * kS) {
      if (!changed && HostNs() >= change) changed = true, sa::Script(k.later);
      Pass(kMs);
      const IntervalMark m = Mark();
      ASSERT_GE(m.value, previous.value) << "stepped back at " << m.t * 1e-9 << " s";
      // Between readings a millisecond apart the clock may be off
      // CLOCK_MONOTONIC by its rate's error (3.1 us until the step after the
      // slew's end), never by more.
      const long double mono = c.monotonic(m.t) - c.monotonic(previous.t);
      worst_jump = std::max(worst_jump, static_cast<int64_t>(fabsl((m.value - previous.value) - mono)));
      if (from.t == 0 && m.t >= 5 * kS) from = m;
      previous = m;
    }
    EXPECT_LE(std::abs(RatePpm(c, from, previous)), 1.0);
    EXPECT_LE(worst_jump, 3500);
    EXPECT_EQ(Fake().host_wall_reads, wall_reads);  // it reads no wall clock
    EXPECT_LE(sa::Calls(), Steps(15 - k.change_s) + 2);  // a step's, and what changed
  }
}

// A second init, with a rate discovered anew, keeps the interval clock going
// from where it was, and takes the new rate from a few blocks on.
TEST_F(ClockTest, TheIntervalClockKeepsGoingThroughASecondInit) {
  Clocks c;
  Fake().rate = kRate;
  c.Start();
  Init();
  Pass(100 * kMs);
  const IntervalMark before = Mark();
  Fake().rate = kRate * (1 + 100e-6);
  Init();
  const IntervalMark just_after = Mark();
  EXPECT_GE(just_after.value, before.value);
  EXPECT_LE(just_after.value - before.value, just_after.t - before.t + 10);
  Pass(100 * kMs);
  const IntervalMark later = Mark();
  Pass(kS);
  EXPECT_NEAR(RatePpm(c, later, Mark()), -100, 0.1);  // the new rate, 100 ppm slower
}

// Before init the interval clock reads 0; init starts it at the counter's
// own zero, the counter scaled. A change of its slope (the kernel's rate,
// read at the next step) leaves every count before the new break reading
// exactly what it read: a second read of the same count is not 1 ns lower.
TEST_F(ClockTest, TheIntervalClockBeforeAndAfterInit) {
  EXPECT_IN_FRESH_PROCESS({
    Script({123456789}, {});
    EXPECT_EQ(Relative(), 0);
    const double rate = 2.5e9;
    Calibrate(kEpoch, 1.5e9, rate);
    Script({1001}, {});
    EXPECT_EQ(Relative(), 400);  // 0.4 of the count, truncated
    Script({(int64_t{1} << 53) - 2}, {});
    EXPECT_EQ(Relative(), static_cast<int64_t>(static_cast<double>((int64_t{1} << 53) - 2) * 0.4));
    // The step of the count's quarter window finds freq moved.
    sa::Script(Disciplined(300 * kPpm));
    const int64_t c = 3 * kEpoch + 12345;
    Script({c}, {});
    const jlong first = Relative();
    for (int64_t i = 0; i < 1000; ++i) {
      const int64_t at = c + i * 997;
      Script({at}, {});
      ASSERT_EQ(Relative(), static_cast<jlong>(static_cast<double>(at) * (1 / rate * 1e9))) << i;
    }
    Script({c}, {});
    EXPECT_EQ(Relative(), first);
  });
}

}  // namespace
