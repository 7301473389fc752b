// The native clock, driven by a scripted counter and wall clock.
//
// This program defines the library's counter, wall clock, rate and race
// declaration itself, and links a scripted kernel frequency correction. The library calls its own exported functions through
// the dynamic symbol table, so its calls land here: that is both what these
// tests prove and how they make the clock deterministic.

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/timex.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <climits>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "com_vornix_common_unix_Varnok.h"
#include "gtest/gtest.h"
#include "tests/support/fresh_process.h"
#include "tests/support/next_definition.h"
#include "tests/support/scripted_adjtimex.h"

namespace {

// --- What the library declared as racy, recorded from load on -------------

struct RaceDeclaration {
  const char* file;
  int line;
  const volatile void* address;
  size_t size;
  const char* description;
};

// Plain zero-initialised storage: the library's constructors record into it
// before any constructor of this program has run.
RaceDeclaration g_declarations[16];
std::atomic<int> g_declaration_count;

// --- The scripted clock ----------------------------------------------------

struct FakeClock {
  std::mutex mu;
  bool scripted = false;
  std::deque<int64_t> counter;  // successive CycleClock::Now() results
  std::deque<double> wall;      // successive WallTime_Slow() results
  std::function<void()> on_wall;  // runs inside WallTime_Slow, if set
  // While set, the recorded cycle epoch that each drift store meets.
  bool watch_drift = false;
  std::vector<uint64_t> epoch_at_drift;
  double rate = 2e9;
  bool underflow = false;
  int now_calls = 0, wall_calls = 0, rate_calls = 0, discovery_calls = 0;

  // Ticking mode, for many threads: every counter read advances the counter
  // and the wall clock follows a formula of the counter.
  std::atomic<int64_t> tick{0};
  int64_t tick_step = 0;
  std::function<double(int64_t)> wall_of;
  // And CLOCK_MONOTONIC, in seconds, while set.
  std::function<double(int64_t)> monotonic_of;
  std::function<double(int64_t)> realtime_of;
};

FakeClock& Fake() {
  static FakeClock* fake = new FakeClock;
  return *fake;
}

// The counter read last on this thread, for the ticking mode's wall clock.
thread_local int64_t t_last_now;
thread_local bool t_wall_called;
thread_local int64_t t_wall_now;  // the counter read just before it

// The next scripted value, or zero with the underflow noted.
template <typename T>
T Pop(std::deque<T>& script, bool* underflow) {
  if (script.empty()) {
    *underflow = true;
    return T{};
  }
  const T v = script.front();
  script.pop_front();
  return v;
}

}  // namespace

namespace {

// The wall clock, as gettimeofday (truncated to the microsecond in the
// ticking mode's wall_of) or CLOCK_REALTIME (to the nanosecond: realtime_of
// where set) gives it. The clock reads the latter while it measures.
double ScriptedWall(bool realtime) {
  FakeClock& f = Fake();
  if (f.tick_step != 0) {
    t_wall_called = true;
    t_wall_now = t_last_now;
    return realtime && f.realtime_of ? f.realtime_of(t_last_now) : f.wall_of(t_last_now);
  }
  std::function<void()> hook;
  double v = 0;
  {
    std::lock_guard<std::mutex> lock(f.mu);
    if (!f.scripted) {
      static auto real = NextDefinition<double (*)()>(
          "_ZN32java_com_vornix_common_unix_base13WallTime_SlowEv");
      return real();
    }
    ++f.wall_calls;
    v = Pop(f.wall, &f.underflow);
    hook = f.on_wall;
  }
  if (hook) hook();
  return v;
}

}  // namespace

namespace java_com_vornix_common_unix_base {

struct CycleClock {
  static int64_t Now();
};

int64_t CycleClock::Now() {
  FakeClock& f = Fake();
  if (f.tick_step != 0) {
    return t_last_now = f.tick.fetch_add(f.tick_step) + f.tick_step;
  }
  std::lock_guard<std::mutex> lock(f.mu);
  if (!f.scripted) {
    static auto real = NextDefinition<int64_t (*)()>(
        "_ZN32java_com_vornix_common_unix_base10CycleClock3NowEv");
    return real();
  }
  ++f.now_calls;
  return Pop(f.counter, &f.underflow);
}

double WallTime_Slow() { return ScriptedWall(false); }

double CyclesPerSecond() {
  FakeClock& f = Fake();
  std::lock_guard<std::mutex> lock(f.mu);
  ++f.rate_calls;
  return f.rate;
}

void InitializeSystemInfo() {
  FakeClock& f = Fake();
  std::lock_guard<std::mutex> lock(f.mu);
  ++f.discovery_calls;
}

// The library's own drift cell, reached through its exported functions;
// SetDrift is watched on its way there, further down.
void SetDrift(float drift);
float GetDrift();

}  // namespace java_com_vornix_common_unix_base

extern "C" int clock_gettime(clockid_t id, struct timespec* ts) noexcept {
  FakeClock& f = Fake();
  if (id == CLOCK_REALTIME && f.scripted) {
    const double seconds = ScriptedWall(true);
    ts->tv_sec = static_cast<time_t>(floor(seconds));
    ts->tv_nsec = static_cast<long>(llround((seconds - floor(seconds)) * 1e9));
    if (ts->tv_nsec == 1000000000) ++ts->tv_sec, ts->tv_nsec = 0;
    return 0;
  }
  if (id != CLOCK_MONOTONIC || f.tick_step == 0 || !f.monotonic_of) {
    static const auto real =
        NextDefinition<int (*)(clockid_t, struct timespec*)>("clock_gettime");
    return real(id, ts);
  }
  const double seconds = f.monotonic_of(t_last_now);
  ts->tv_sec = static_cast<time_t>(seconds);
  ts->tv_nsec = static_cast<long>((seconds - static_cast<double>(ts->tv_sec)) * 1e9);
  return 0;
}

extern "C" void AnnotateBenignRaceSized(const char* file, int line,
                                        const volatile void* address,
                                        size_t size, const char* description) {
  const int i = g_declaration_count.fetch_add(1);
  if (i < 16) g_declarations[i] = {file, line, address, size, description};
}

namespace {

using java_com_vornix_common_unix_base::GetDrift;
using java_com_vornix_common_unix_base::SetDrift;

// Taken once this program's own constructors run, after the library's.
const int kDeclarationsAtLoad = g_declaration_count.load();

jlong Epoch() {
  return Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(nullptr, nullptr);
}
jlong Relative() {
  return Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(nullptr, nullptr);
}
void Init() { Java_com_vornix_common_unix_Varnok_init(nullptr, nullptr); }

const RaceDeclaration* FindDeclaration(int line) {
  for (int i = 0; i < kDeclarationsAtLoad && i < 16; ++i) {
    if (g_declarations[i].line == line) return &g_declarations[i];
  }
  return nullptr;
}

// The window of a clock that nothing steers: a cycle epoch on x86-64; on
// aarch64, whose timer may run at 25 MHz, the largest power of two ticks
// within a second (2^30 at the 2e9 ticks/s the tests mostly use).
int LongShift(double rate) {
#if defined(__aarch64__)
  return std::min(32, static_cast<int>(std::log2(rate)));
#else
  (void)rate;
  return 32;
#endif
}

// The fast path's block: 2^21 ticks on x86-64, about a millisecond's
// power of two on aarch64.
int BlockShift() {
#if defined(__aarch64__)
  return std::max(12, std::min(LongShift(Fake().rate),
                               static_cast<int>(std::log2(Fake().rate * 1e-3))));
#else
  return 21;
#endif
}

// The recorded block, read where the library declared it to be: the
// count shifted right by the block's shift, then left by six for a
// generation in the low six bits. All ones while a thread writes it.
uint64_t RecordedWindow() {
  const RaceDeclaration* d = FindDeclaration(39);
  uint64_t v = 0;
  if (d != nullptr) memcpy(&v, const_cast<const void*>(d->address), sizeof(v));
  return v;
}
// The cycle epoch (top 32 bits) of the recorded block's counts.
uint64_t RecordedEpoch() { return (RecordedWindow() >> 6 << BlockShift()) >> 32; }
bool RecordedBlockHolds(int64_t count) {
  return RecordedWindow() >> 6 == static_cast<uint64_t>(count) >> BlockShift();
}

}  // namespace

// Notes the recorded epoch that each drift store meets, then stores it.
void java_com_vornix_common_unix_base::SetDrift(float drift) {
  FakeClock& f = Fake();
  {
    std::lock_guard<std::mutex> lock(f.mu);
    if (f.watch_drift) f.epoch_at_drift.push_back(RecordedWindow());
  }
  static auto real = NextDefinition<void (*)(float)>(
      "_ZN32java_com_vornix_common_unix_base8SetDriftEf");
  real(drift);
}

namespace {

// As another thread would record the block of that count.
void SetRecordedBlock(int64_t count) {
  const RaceDeclaration* d = FindDeclaration(39);
  const uint64_t block = static_cast<uint64_t>(count) >> BlockShift() << 6 | 63;
  if (d != nullptr) {
    memcpy(const_cast<void*>(d->address), &block, sizeof(block));
  }
}

uint32_t FloatBits(float f) {
  uint32_t b;
  memcpy(&b, &f, sizeof(b));
  return b;
}

// The clock's arithmetic, every step rounded on its own. volatile keeps the
// compiler from fusing or reordering; a library built with contraction or a
// different order of operations disagrees with this in the last bits.
double Estimate(double base_wall, int64_t base, int64_t now, double rate) {
  volatile double seconds_per_cycle = 1.0 / rate;
  volatile double cycles = static_cast<double>(now - base);
  volatile double elapsed = cycles * seconds_per_cycle;
  volatile double estimate = base_wall + elapsed;
  return estimate;
}

int64_t FastResult(double estimate, float drift) {
  volatile double sum = estimate + static_cast<double>(drift);
  volatile double ns = sum * 1e9;
  return static_cast<int64_t>(ns);
}

constexpr int64_t kEpoch = int64_t{1} << 32;

class ClockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FakeClock& f = Fake();
    std::lock_guard<std::mutex> lock(f.mu);
    f.scripted = true;
    f.counter.clear();
    f.wall.clear();
    f.on_wall = nullptr;
    f.epoch_at_drift.clear();
    f.rate = 2e9;
    f.underflow = false;
    f.now_calls = f.wall_calls = f.rate_calls = f.discovery_calls = 0;
    scripted_adjtimex::Script(scripted_adjtimex::Undisciplined());
  }
  void TearDown() override {
    FakeClock& f = Fake();
    std::lock_guard<std::mutex> lock(f.mu);
    EXPECT_FALSE(f.underflow) << "the clock read more than the script held";
    EXPECT_TRUE(f.counter.empty()) << "counter reads left unused";
    EXPECT_TRUE(f.wall.empty()) << "wall-clock reads left unused";
    f.scripted = false;
    f.tick_step = 0;
    f.wall_of = nullptr;
    f.monotonic_of = nullptr;
    f.realtime_of = nullptr;
  }

  static void Script(std::initializer_list<int64_t> counter,
                     std::initializer_list<double> wall) {
    FakeClock& f = Fake();
    std::lock_guard<std::mutex> lock(f.mu);
    f.counter.insert(f.counter.end(), counter);
    f.wall.insert(f.wall.end(), wall);
  }

  static int WallCalls() {
    std::lock_guard<std::mutex> lock(Fake().mu);
    return Fake().wall_calls;
  }

  // Calibrates on a good first pair (base, base_wall).
  static void Calibrate(int64_t base, double base_wall, double rate = 2e9) {
    Fake().rate = rate;
    Script({base, base + 10}, {base_wall});
    Init();
    std::lock_guard<std::mutex> lock(Fake().mu);
    Fake().now_calls = Fake().wall_calls = 0;
  }
};

// --- Load time and the library's own calls ---------------------------------

TEST(LoadTest, DeclaresExactlyTheTwoRacesAtLoadWithTheirSites) {
  ASSERT_EQ(kDeclarationsAtLoad, 2);
  const RaceDeclaration* drift = FindDeclaration(24);
  const RaceDeclaration* epoch = FindDeclaration(39);
  ASSERT_NE(drift, nullptr);
  ASSERT_NE(epoch, nullptr);
  EXPECT_STREQ(drift->file, "java/com/vornix/common/unix/base/walltime.cc");
  EXPECT_EQ(drift->size, 8u);
  EXPECT_STREQ(drift->description,
               "drift_adjust: Race can cause only minor drift");
  EXPECT_STREQ(epoch->file, "java/com/vornix/common/unix/varnok_jni.cc");
  EXPECT_EQ(epoch->size, 8u);
  EXPECT_STREQ(epoch->description,
               "last_adjust_time: Race can cause only a minor drift");
  EXPECT_NE(drift->address, epoch->address);
}

TEST(LoadTest, DeclaredDriftAddressHoldsTheDrift) {
  const RaceDeclaration* d = FindDeclaration(24);
  ASSERT_NE(d, nullptr);
  for (float x : {1.5f, -0.25f, 0.0f, -0.0f, 3.0e-7f}) {
    SetDrift(x);
    uint64_t cell;
    memcpy(&cell, const_cast<const void*>(d->address), sizeof(cell));
    EXPECT_EQ(static_cast<uint32_t>(cell), FloatBits(x)) << x;
    EXPECT_EQ(FloatBits(GetDrift()), FloatBits(x));
  }
  SetDrift(0.0f);
}

TEST_F(ClockTest, InitCallsEveryPrimitiveThroughTheSymbolTable) {
  Script({7 * kEpoch + 123, 7 * kEpoch + 200}, {1.5e9});
  Init();
  FakeClock& f = Fake();
  EXPECT_EQ(f.discovery_calls, 1);
  EXPECT_EQ(f.rate_calls, 2);  // once for each factor
  EXPECT_EQ(f.now_calls, 2);
  EXPECT_EQ(f.wall_calls, 1);
  EXPECT_EQ(FloatBits(GetDrift()), FloatBits(0.0f));
  EXPECT_EQ(RecordedEpoch(), 7u);
}

// --- Calibration -------------------------------------------------------------

TEST_F(ClockTest, InitRetriesAPairWiderThanTheTolerance) {
  SetDrift(0.75f);  // init must reset it
  // At 2e9 ticks/s the tolerance is 200000 ticks: one more is too many,
  // exactly that many is still good.
  const int64_t b1 = 3 * kEpoch, b2 = 5 * kEpoch + 99;
  Script({b1, b1 + 200001, b2, b2 + 200000}, {1000.0, 2000.0});
  Init();
  EXPECT_EQ(WallCalls(), 2);
  EXPECT_EQ(RecordedEpoch(), 5u);
  EXPECT_EQ(FloatBits(GetDrift()), FloatBits(0.0f));
  // The base is the second pair.
  Script({b2 + 1000000000}, {});
  EXPECT_EQ(Epoch(), 2000500000000);
}

TEST_F(ClockTest, SecondInitTakesANewBaseAndResetsTheDrift) {
  Calibrate(kEpoch, 1.5e9);
  SetDrift(0.5f);
  Calibrate(9 * kEpoch, 1.7e9, 1e9);
  EXPECT_EQ(Fake().discovery_calls, 2);
  EXPECT_EQ(FloatBits(GetDrift()), FloatBits(0.0f));
  EXPECT_EQ(RecordedEpoch(), 9u);
  Script({9 * kEpoch + 500000000}, {});
  EXPECT_EQ(Epoch(), 1700000000500000000);
}

// --- The epoch clock ---------------------------------------------------------

TEST_F(ClockTest, FastPathIsBaseWallPlusScaledCyclesPlusDrift) {
  const int64_t base = 11 * kEpoch + 5;
  Calibrate(base, 1.5e9, 1e9);
  // Exact by hand: 1.5e9 s + 0.5 s, in a double spaced 256 ns apart.
  Script({base + 500000000}, {});
  EXPECT_EQ(Epoch(), 1500000000500000000);
  SetDrift(-0.5f);
  Script({base + 500000000}, {});
  EXPECT_EQ(Epoch(), 1500000000000000000);
  EXPECT_EQ(WallCalls(), 0);
  EXPECT_EQ(RecordedEpoch(), 11u);
  EXPECT_EQ(FloatBits(GetDrift()), FloatBits(-0.5f));
}

TEST_F(ClockTest, FastPathMatchesStepwiseRoundingBitForBit) {
  const double rate = 2893.437e6;
  const double base_wall = 1796680874.242078;
  const int64_t base = 0x0000123400000000 + 0x1234567;
  Calibrate(base, base_wall, rate);
  uint64_t x = 88172645463325252u;  // xorshift: many cycle counts and drifts
  for (int i = 0; i < 2000; ++i) {
    x ^= x << 13, x ^= x >> 7, x ^= x << 17;
    const int64_t now = base + static_cast<int64_t>(x % 0xFEDCBA98u);
    const float drift =
        static_cast<float>(static_cast<int32_t>(static_cast<uint32_t>(x >> 32))) * 1e-9f;
    SetRecordedBlock(now);
    SetDrift(drift);
    Script({now}, {});
    ASSERT_EQ(Epoch(), FastResult(Estimate(base_wall, base, now, rate), drift))
        << "now=" << now << " drift=" << drift;
  }
  EXPECT_EQ(WallCalls(), 0);
}

TEST_F(ClockTest, FirstReadInANewEpochReturnsTheWallClockAndStoresTheDrift) {
  const int64_t base = 20 * kEpoch + 17;
  Calibrate(base, 1.5e9);
  const int64_t now = 21 * kEpoch + 3;
  const double wall = Estimate(1.5e9, base, now, 2e9) + 2.25e-4;
  Script({now, now + 50}, {wall});
  EXPECT_EQ(Epoch(), static_cast<int64_t>(wall * 1e9));
  const double estimate = Estimate(1.5e9, base, now, 2e9);
  EXPECT_EQ(FloatBits(GetDrift()),
            FloatBits(static_cast<float>(wall - estimate)));
  EXPECT_EQ(RecordedEpoch(), 21u);
  // The next read in that epoch uses the new drift and no system call.
  Script({now + 1000}, {});
  EXPECT_EQ(Epoch(), FastResult(Estimate(1.5e9, base, now + 1000, 2e9),
                                static_cast<float>(wall - estimate)));
  EXPECT_EQ(WallCalls(), 1);
}

// A reader that sees an epoch recorded must find that epoch's drift, so
// calibration and every re-measurement close the window before they store
// the drift, and open the new one after.
TEST_F(ClockTest, EachDriftIsStoredBeforeItsEpochIsRecorded) {
  Calibrate(68 * kEpoch, 1.5e9);
  Fake().watch_drift = true;
  Calibrate(69 * kEpoch, 1.5e9);
  Script({70 * kEpoch + 5, 70 * kEpoch + 6},
         {Estimate(1.5e9, 69 * kEpoch, 70 * kEpoch + 5, 2e9) + 1e-5});
  Epoch();
  Fake().watch_drift = false;
  const uint64_t closed = UINT64_MAX;
  EXPECT_EQ(Fake().epoch_at_drift, (std::vector<uint64_t>{closed, closed}));
  EXPECT_EQ(RecordedEpoch(), 70u);
}

TEST_F(ClockTest, AReadFromAnOlderEpochAlsoRemeasures) {
  const int64_t base = 30 * kEpoch;
  Calibrate(base, 1.5e9);
  auto wall = [&](int64_t c, double drift) {
    return Estimate(1.5e9, base, c, 2e9) + drift;
  };
  Script({32 * kEpoch, 32 * kEpoch + 1}, {wall(32 * kEpoch, 4e-6)});
  Epoch();
  ASSERT_EQ(RecordedEpoch(), 32u);
  // A counter that lags (another core, or read just before the update).
  const double w31 = wall(31 * kEpoch + 9, 2e-6);
  Script({31 * kEpoch + 9, 31 * kEpoch + 10}, {w31});
  EXPECT_EQ(Epoch(), static_cast<int64_t>(w31 * 1e9));
  EXPECT_EQ(RecordedEpoch(), 31u);
  // And so the newer epoch is measured again at its next read.
  const double w32 = wall(32 * kEpoch + 5, 4.5e-6);
  Script({32 * kEpoch + 5, 32 * kEpoch + 6}, {w32});
  EXPECT_EQ(Epoch(), static_cast<int64_t>(w32 * 1e9));
  EXPECT_EQ(RecordedEpoch(), 32u);
}

TEST_F(ClockTest, ASlowPairIsRetriedWithTheCounterReadAfresh) {
  const int64_t base = 40 * kEpoch;
  Calibrate(base, 1.5e9);
  const int64_t t1 = 41 * kEpoch + 100, t2 = 41 * kEpoch + 900000;
  SetDrift(0.125f);
  const double w2 = Estimate(1.5e9, base, t2, 2e9) + 3e-4;
  Script({t1, t1 + 200001, t2, t2 + 7}, {1.5e9 + 1.0, w2});
  EXPECT_EQ(Epoch(), static_cast<int64_t>(w2 * 1e9));
  // The drift is that of the good pair, measured from its own counter read.
  EXPECT_EQ(FloatBits(GetDrift()),
            FloatBits(static_cast<float>(w2 - Estimate(1.5e9, base, t2, 2e9))));
  EXPECT_EQ(RecordedEpoch(), 41u);
}

TEST_F(ClockTest, ARetryTakesUpAnotherThreadsMeasurement) {
  const int64_t base = 50 * kEpoch;
  Calibrate(base, 1.5e9);
  const int64_t t1 = 51 * kEpoch, t2 = 51 * kEpoch + 400000;
  // While this thread waits on the wall clock, another one records the
  // new epoch with its drift.
  Fake().on_wall = [] {
    SetDrift(0.5f);
    SetRecordedBlock(51 * kEpoch);
  };
  Script({t1, t1 + 300000, t2}, {1.5e9 + 1.0});
  EXPECT_EQ(Epoch(), FastResult(Estimate(1.5e9, base, t2, 2e9), 0.5f));
  EXPECT_EQ(WallCalls(), 1);
  EXPECT_EQ(FloatBits(GetDrift()), FloatBits(0.5f));
}

// --- Faults: a wall clock slow many times, a counter that jumps back ---------

TEST_F(ClockTest, AWallClockSlowManyTimesInARowIsRetriedUntilAGoodPair) {
  constexpr int kSlow = 200;  // e.g. a thread preempted again and again
  std::vector<int64_t> counter;
  std::vector<double> wall;
  // Calibration: kSlow pairs one tick too wide, then a good one.
  for (int i = 0; i < kSlow; ++i) {
    const int64_t c = 80 * kEpoch + i * 1000000;
    counter.insert(counter.end(), {c, c + 200001});
    wall.push_back(1.0e9 + i);
  }
  const int64_t base = 81 * kEpoch + 7;
  counter.insert(counter.end(), {base, base + 200000});
  wall.push_back(1.6e9);
  // The first read of the next epoch: the same again before its good pair.
  for (int i = 0; i < kSlow; ++i) {
    const int64_t c = 82 * kEpoch + i * 1000000;
    counter.insert(counter.end(), {c, c + 300000});
    wall.push_back(1.0e9 - i);
  }
  const int64_t now = 82 * kEpoch + 999999999;
  counter.insert(counter.end(), {now, now + 1});
  const double good_wall = Estimate(1.6e9, base, now, 2e9) - 7e-4;
  wall.push_back(good_wall);
  {
    std::lock_guard<std::mutex> lock(Fake().mu);
    Fake().counter.assign(counter.begin(), counter.end());
    Fake().wall.assign(wall.begin(), wall.end());
  }

  Init();
  EXPECT_EQ(WallCalls(), kSlow + 1);
  EXPECT_EQ(RecordedEpoch(), 81u);
  // The good pair's wall clock.
  EXPECT_EQ(Epoch(), static_cast<int64_t>(good_wall * 1e9));
  EXPECT_EQ(WallCalls(), 2 * kSlow + 2);
  EXPECT_EQ(RecordedEpoch(), 82u);
  EXPECT_EQ(FloatBits(GetDrift()),
            FloatBits(static_cast<float>(good_wall -
                                         Estimate(1.6e9, base, now, 2e9))));
}

TEST_F(ClockTest, ACounterThatJumpsBackwardsRemeasuresAtEveryEpochItLandsIn) {
  const int64_t base = 90 * kEpoch + 12345;
  Calibrate(base, 1.5e9);
  // Back into an older epoch, to zero, and to a count with the top bit set
  // (a negative int64): each is a window not recorded, so each re-measures
  // and returns its own wall clock. Each lands seconds off the line, which
  // the clock folds into a new base pair, and then it measures.
  const int64_t jumps[] = {89 * kEpoch + 5, 0, INT64_MIN + 77, 90 * kEpoch};
  double wall = 1.5e9 + 1.0;
  for (const int64_t c : jumps) {
    wall += 1.0;
    Script({c, c + 10}, {wall});
    EXPECT_EQ(Epoch(), static_cast<int64_t>(wall * 1e9)) << c;
    EXPECT_TRUE(RecordedBlockHolds(c)) << c;
    EXPECT_EQ(FloatBits(GetDrift()), FloatBits(0.0f)) << c;
  }
  // A read just after the last jump, below the old base: no system call,
  // and the line starts at the last pair.
  Script({90 * kEpoch + 1}, {});
  EXPECT_EQ(Epoch(), FastResult(Estimate(wall, 90 * kEpoch, 90 * kEpoch + 1, 2e9),
                                0.0f));
  EXPECT_EQ(WallCalls(), 4);
}

// --- The kernel's frequency correction of CLOCK_REALTIME ---------------------

namespace sa = scripted_adjtimex;

constexpr long kPpm = 65536;  // adjtimex's freq is in 2^-16 ppm

// A clock an NTP daemon disciplines: freq, and the tick this many
// microseconds off its nominal length.
sa::Reading Disciplined(long freq, long tick_delta = 0) {
  sa::Reading r = sa::Undisciplined();
  r.result = TIME_OK;
  r.status = STA_PLL;
  r.freq = freq;
  r.tick += tick_delta;
  return r;
}

// A present-day result is a double near 1.7e18 ns, 256 ns from its
// neighbours: each rounding on the way, and the truncation, moves it by up
// to that grain.
constexpr int64_t kGrainNs = 256;

// CLOCK_REALTIME runs at (1 + f) times the counter's rate, f set by the
// kernel's freq and tick. Over several epochs the clock stays with it.
// Uncorrected, it would fall behind or run ahead by f times an epoch (2 us
// at 1 ppm).
TEST_F(ClockTest, FollowsARealtimeClockTheKernelRunsFasterOrSlower) {
  struct Case {
    double ppm;       // freq
    long tick_delta;  // us per tick off nominal
  };
  const Case cases[] = {{-500, 0}, {-123.4567, 0}, {-30, 0}, {-1, 0}, {1, 0},
                        {30, 0},   {499.99, 0},    {500, 0}, {0, 1},  {-250, -1},
                        {0, 1000}, {0, -1000}};  // and the tick's 10% either way
  const double rate = 2.5e9;  // a pair tolerates 250000 ticks
  const double base_wall = 1.7e9 + 0.25;
  const int64_t base = 200 * kEpoch + 12345;
  constexpr int kEpochs = 5;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.ppm << " ppm, tick " << c.tick_delta);
    const sa::Reading reading = Disciplined(std::lround(c.ppm * kPpm), c.tick_delta);
    const long double f = reading.freq / (65536e6L) +
                          static_cast<long double>(c.tick_delta) /
                              (reading.tick - c.tick_delta);
    auto true_ns = [&](int64_t counter) {
      return base_wall * 1e9L + (counter - base) * 1e9L / rate * (1.0L + f);
    };
    Fake().tick_step = 0;
    sa::Script(reading);
    Calibrate(base, base_wall, rate);
    EXPECT_EQ(sa::Calls(), 1);
    EXPECT_FALSE(sa::AskedToWrite());
    // CLOCK_MONOTONIC runs as REALTIME does, from another origin. A
    // measuring clock reads no gettimeofday.
    Fake().monotonic_of = [&](int64_t counter) {
      return static_cast<double>((true_ns(counter) - base_wall * 1e9L) / 1e9L) + 1000.0;
    };
    Fake().realtime_of = [&](int64_t counter) {
      return static_cast<double>(true_ns(counter) / 1e9L);
    };
    Fake().tick = base;
    Fake().tick_step = 100003;  // about 43000 reads an epoch

    int64_t low = 0, high = 0, worst_step = 0, previous = 0;
    int measured = 0;
    for (int i = 0; static_cast<uint64_t>(Fake().tick.load()) >> 32 < 200 + kEpochs; ++i) {
      t_wall_called = false;
      const int64_t result = Epoch();
      const int64_t counter = t_wall_called ? t_wall_now : t_last_now;
      const int64_t error = result - static_cast<int64_t>(llroundl(true_ns(counter)));
      measured += t_wall_called;
      low = std::min(low, error);
      high = std::max(high, error);
      if (i > 0) worst_step = std::max(worst_step, std::abs(error - previous));
      previous = error;
    }
    // A disciplined clock re-measures every block against CLOCK_REALTIME
    // to the nanosecond, and its slope follows the kernel's: within the
    // grain of a double near 1.7e9 s, and steps of no more.
    EXPECT_GE(measured, 1000);
    EXPECT_GE(low, -2 * kGrainNs);
    EXPECT_LE(high, 2 * kGrainNs);
    EXPECT_LE(worst_step, 2 * kGrainNs);
  }
}

// What a daemon, an operator or the machine does to the clock in mid-run:
// the kernel's word and REALTIME's rate against the counter either side of
// the event, a step of REALTIME, a jump of the counter.
struct MidRunEvent {
  const char* what;
  sa::Reading before, after;
  double ppm_before, ppm_after;
  double step_s;
  int64_t jump_ticks;
  bool measures_at_end;  // re-measures at every block by the run's end

  static constexpr double kRate = 2.5e9, kBaseWall = 1.7e9 + 0.25, kMonotonic0 = 5000.0;
  static constexpr int64_t kBase = 400 * kEpoch + 12345;
  static constexpr int64_t kEvent = 5000000000, kEnd = 17500000000;  // 2 s, 7 s

  // True ticks since the base: after the jump the counter reads more.
  int64_t VirtualTicks(int64_t counter) const {
    const int64_t v = counter - kBase;
    return v >= kEvent + jump_ticks ? v - jump_ticks : v;
  }
  long double Monotonic(int64_t counter) const {
    const long double v = VirtualTicks(counter);
    const long double before = std::min<long double>(v, kEvent);
    const long double after = std::max<long double>(v - kEvent, 0);
    return kMonotonic0 + (before * (1 + ppm_before * 1e-6L) +
                          after * (1 + ppm_after * 1e-6L)) / kRate;
  }
  long double TrueNs(int64_t counter) const {
    const long double step = VirtualTicks(counter) >= kEvent ? step_s : 0;
    return (kBaseWall + (Monotonic(counter) - kMonotonic0) + step) * 1e9L;
  }

  // gettimeofday truncates to the microsecond, CLOCK_REALTIME does not.
  void ScriptClocks() const {
    Fake().wall_of = [this](int64_t counter) {
      const int64_t us = static_cast<int64_t>(floorl(TrueNs(counter) / 1000));
      return static_cast<double>(us / 1000000) + (us % 1000000) / 1000000.0;
    };
    Fake().monotonic_of = [this](int64_t c) { return static_cast<double>(Monotonic(c)); };
    Fake().realtime_of = [this](int64_t c) { return static_cast<double>(TrueNs(c) / 1e9L); };
  }

  // A clock that measures throughout reads CLOCK_REALTIME to the
  // nanosecond: within the double's grain. One that does not (or not any
  // more) reads gettimeofday, truncated to the microsecond.
  int64_t Bound() const {
    return measures_at_end && before.status == after.status ? 3 * kGrainNs
                                                            : 1000 + 3 * kGrainNs;
  }
};

// Reads the clock every 40 us of virtual time through the event, checking
// every reading from the first re-measurement after the event on (and
// every one before the event); returns the re-measurements of the last
// 100 ms.
int RunThrough(const MidRunEvent& e) {
  using E = MidRunEvent;
  bool after_event = false, recovered = false;
  int measured_last_100ms = 0;
  Fake().tick = E::kBase;
  Fake().tick_step = 100003;
  while (e.VirtualTicks(Fake().tick.load()) < E::kEnd) {
    if (!after_event && Fake().tick.load() + Fake().tick_step - E::kBase >= E::kEvent) {
      after_event = true;
      Fake().tick += e.jump_ticks;
      sa::Script(e.after);
    }
    t_wall_called = false;
    const int64_t result = Epoch();
    const int64_t counter = t_wall_called ? t_wall_now : t_last_now;
    measured_last_100ms += t_wall_called && e.VirtualTicks(counter) > E::kEnd - E::kRate / 10;
    recovered |= after_event && t_wall_called;
    if (after_event && !recovered) continue;
    const int64_t error = result - static_cast<int64_t>(llroundl(e.TrueNs(counter)));
    EXPECT_LE(std::abs(error), e.Bound()) << "at " << e.VirtualTicks(counter) / E::kRate << " s";
    if (std::abs(error) > e.Bound()) break;
  }
  EXPECT_TRUE(recovered);
  Fake().tick_step = 0;
  return measured_last_100ms;
}

// How soon the clock is right again after each event: from the first
// re-measurement after it on, within gettimeofday's microsecond and the
// double's grain. Between init and the event it must be right too; from
// the event to that re-measurement it may not be (a step of an hour shows
// as one).
TEST_F(ClockTest, KeepsUpWithTheDisciplineStepsAndJumps) {
  sa::Reading unreadable = sa::Undisciplined();
  unreadable.result = -1;
  unreadable.error = EPERM;
  sa::Reading pll = Disciplined(0);  // the kernel slews an offset it was
  pll.status |= STA_NANO;            // handed: nothing of it shows in freq
  const sa::Reading none = sa::Undisciplined();
  const MidRunEvent events[] = {
      {"freq changes in mid-run", Disciplined(500 * kPpm), Disciplined(-500 * kPpm),
       500, -500, 0, 0, true},
      {"the kernel's PLL slews, freq says nothing", pll, pll, 150, -80, 0, 0, true},
      {"a step of +1 h", none, none, 0, 0, 3600, 0, false},
      {"a step of -1 h", none, none, 0, 0, -3600, 0, false},
      {"the counter jumps 2^36 ticks", none, none, 0, 0, 0, int64_t{1} << 36, false},
      {"the counter's rate moves 300 ppm", none, none, 0, 300, 0, 0, false},
      {"adjtimex unreadable, a daemon's 40 ppm", unreadable, unreadable, 0, 40, 0, 0, true},
      {"nothing happens", none, none, 0, 0, 0, 0, false},
  };
  for (const MidRunEvent& e : events) {
    SCOPED_TRACE(e.what);
    sa::Script(e.before);
    Calibrate(MidRunEvent::kBase, MidRunEvent::kBaseWall, MidRunEvent::kRate);
    e.ScriptClocks();
    const int measured_last_100ms = RunThrough(e);
    // Measuring, a block is 0.84 ms; not, a cycle epoch is 1.7 s.
    if (e.measures_at_end) {
      EXPECT_GT(measured_last_100ms, 100);
    } else {
      EXPECT_LE(measured_last_100ms, 1);
    }
    EXPECT_FALSE(sa::AskedToWrite());
    Fake().monotonic_of = nullptr;
  }
}

// A measuring clock starts a block's line at each pair, so it takes only
// tight pairs (5 us: 10000 ticks here), for eight tries; then, so that a
// host whose clock reads are system calls still gets a clock, one that the
// 100 us allow. Each try reads the counter afresh.
TEST_F(ClockTest, AMeasuringClockTakesOnlyTightPairsForEightTries) {
  for (const int wide : {1, 8, 9}) {
    SCOPED_TRACE(::testing::Message() << wide << " wide pairs");
    sa::Script(Disciplined(0));
    const int64_t base = 500 * kEpoch;
    Calibrate(base, 1.5e9);
    std::vector<int64_t> counter;
    std::vector<double> wall;
    int64_t c = base + (int64_t{1} << 22);  // two blocks on
    for (int i = 0; i < wide; ++i, c += 1000000) {
      counter.insert(counter.end(), {c, c + 10001});
      wall.push_back(Estimate(1.5e9, base, c, 2e9) + i * 1e-6);
    }
    const bool took_wide = wide > 8;
    if (!took_wide) {
      counter.insert(counter.end(), {c, c + 10000});
      wall.push_back(Estimate(1.5e9, base, c, 2e9) + 0.5e-6);
    }
    {
      std::lock_guard<std::mutex> lock(Fake().mu);
      Fake().counter.assign(counter.begin(), counter.end());
      Fake().wall.assign(wall.begin(), wall.end());
    }
    const double taken = wall.back();
    EXPECT_NEAR(Epoch(), taken * 1e9, kGrainNs);
    EXPECT_EQ(WallCalls(), static_cast<int>(wall.size()));
  }
}

// With no NTP the clock is bit for bit the uncorrected one, over a whole
// cycle epoch. A reading the library cannot use (a failed call, or a freq
// or tick the kernel itself would refuse: beyond 500 ppm, beyond 10% of
// nominal) leaves the factor at 1.0, exact too; but the clock cannot tell
// what steers it then, so it measures, in windows of about a millisecond.
TEST_F(ClockTest, NoCorrectionOrAnUnusableOneLeavesTheClockExact) {
  const double rate = 2893.437e6, base_wall = 1796680874.242078;
  const int64_t base = 300 * kEpoch + 0x1234567;
  const long nominal = sa::Undisciplined().tick;
  sa::Reading failed = sa::Undisciplined();
  failed.result = -1;
  failed.error = EPERM;  // a seccomp filter against the clock calls
  const struct {
    const char* what;
    sa::Reading reading;
    bool measures;
  } cases[] = {
      {"no NTP", sa::Undisciplined(), false},
      {"synchronised at freq 0", Disciplined(0), true},
      {"the call fails", failed, true},
      {"freq above 500 ppm", Disciplined(500 * kPpm + 1), true},
      {"freq below -500 ppm", Disciplined(-500 * kPpm - 1), true},
      {"tick 10% short and 1 us", Disciplined(30 * kPpm, -nominal / 10 - 1), true},
      {"tick 10% long and 1 us", Disciplined(30 * kPpm, nominal / 10 + 1), true},
      {"tick 0", Disciplined(30 * kPpm, -nominal), true},
      {"tick negative", Disciplined(30 * kPpm, -2 * nominal), true},
      {"tick far too long", Disciplined(30 * kPpm, LONG_MAX - nominal), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    sa::Script(c.reading);
    Calibrate(base, base_wall, rate);
    EXPECT_EQ(sa::Calls(), 1);
    EXPECT_FALSE(sa::AskedToWrite());
    // The last count before the next re-measurement: the cycle epoch's (on
    // aarch64 the long window's), or the block's while measuring.
    const int shift = c.measures ? BlockShift() : LongShift(rate);
    const int64_t last = (((base >> shift) + 1) << shift) - 1;
    for (const int64_t now : {base + 1, std::min(base + 999999937, last), last}) {
      Script({now}, {});
      EXPECT_EQ(Epoch(), FastResult(Estimate(base_wall, base, now, rate), 0.0f)) << now;
    }
    EXPECT_EQ(WallCalls(), 0);
    // And the next count re-measures.
    const double wall = Estimate(base_wall, base, last + 1, rate);
    Script({last + 1, last + 2}, {wall});
    EXPECT_EQ(Epoch(), static_cast<int64_t>(wall * 1e9));
    EXPECT_EQ(WallCalls(), 1);
  }
}

// --- The relative clock ------------------------------------------------------

// The relative clock's factor is fixed at its first call for the life of
// the process, so each case runs in a process of its own.
using RelativeClockTest = ClockTest;

TEST_F(RelativeClockTest, FactorIsFixedAtTheFirstCallAndSurvivesInit) {
  EXPECT_IN_FRESH_PROCESS({
    Calibrate(kEpoch, 1.5e9, 2e9);
    Script({1001}, {});
    EXPECT_EQ(Relative(), 500);  // half the count, truncated
    Script({(int64_t{1} << 53) - 2}, {});
    EXPECT_EQ(Relative(), (int64_t{1} << 52) - 1);
    Calibrate(kEpoch, 1.5e9, 1e9);
    Script({1001}, {});
    EXPECT_EQ(Relative(), 500);
  });
}

// It counts in the corrected seconds too, as CLOCK_MONOTONIC does.
TEST_F(RelativeClockTest, RunsAtTheKernelsCorrectedRate) {
  EXPECT_IN_FRESH_PROCESS({
    sa::Script(Disciplined(500 * kPpm));
    Calibrate(kEpoch, 1.5e9, 2e9);
    Script({2000000000}, {});
    EXPECT_NEAR(Relative(), 1000500000, 1);  // 1 s of counter, 500 ppm more
  });
}

TEST_F(RelativeClockTest, ACallBeforeInitFixesTheFactorAtZero) {
  EXPECT_IN_FRESH_PROCESS({
    Script({123456789}, {});
    EXPECT_EQ(Relative(), 0);
    Calibrate(kEpoch, 1.5e9, 2e9);
    Script({123456789}, {});
    EXPECT_EQ(Relative(), 0);
  });
}

// --- Many threads at an epoch boundary ---------------------------------------

TEST_F(ClockTest, ThreadsCrossingAnEpochBoundaryTakeUpTheNewDrift) {
  const double rate = 2e9, base_wall = 1.6e9;
  const int64_t base = 60 * kEpoch + (kEpoch - 4000000);
  Calibrate(base, base_wall, rate);
  // From the next epoch on the system clock runs 1 ms ahead of the
  // calibration: the reads there must take up that drift.
  auto ideal = [=](int64_t c) { return Estimate(base_wall, base, c, rate); };
  Fake().wall_of = [=](int64_t c) {
    return ideal(c) + (static_cast<uint64_t>(c) >> 32 > 60 ? 1e-3 : 0.0);
  };
  Fake().tick = base + 20;
  Fake().tick_step = 100;  // 50 ns a read: 40000 reads to the boundary

  constexpr int kThreads = 4, kReads = 25000;
  std::atomic<int> bad{0}, slow{0}, fast_after{0}, took_up{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kReads; ++i) {
        t_wall_called = false;
        const int64_t result = Epoch();
        if (t_wall_called) {
          ++slow;  // the wall clock itself, for the counter read before it
          continue;
        }
        const bool after = static_cast<uint64_t>(t_last_now) >> 32 > 60;
        auto near = [&](double drift) {
          const double want = (ideal(t_last_now) + drift) * 1e9;
          return result >= want - 1000 && result <= want + 1000;
        };
        // A reader can meet the drift of the other side of the boundary:
        // one that saw the old epoch loads the drift just after a thread in
        // the new epoch stored it, or a thread that read its counter just
        // before the boundary re-measures the old epoch late. That is the
        // declared race; any other result is a fault.
        if (!near(0.0) && !near(1e-3)) ++bad;
        fast_after += after;
        took_up += after && near(1e-3);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GE(slow.load(), 1);
  EXPECT_GT(fast_after.load(), 0);
  EXPECT_GT(took_up.load(), 0);
  EXPECT_EQ(RecordedEpoch(), 61u);
  EXPECT_NEAR(GetDrift(), 1e-3, 1e-6);  // wall - estimate, near 1.6e9 s
}

TEST_F(ClockTest, ManyThreadsThroughManyEpochs) {
  // Every read moves the counter 2^20 ticks, so the threads cross an epoch
  // every 4096 reads between them, about a hundred in all. The system
  // clock's lead over the calibration changes from epoch to epoch by a few
  // microseconds. At 1e11 ticks/s a pair tolerates 1e7 ticks: a
  // re-measurement fails whenever ten reads of other threads fall inside
  // its pair, so pairs are retried too.
  const double rate = 1e11, base_wall = 1.7e9;
  const int64_t base = 100 * kEpoch;
  Calibrate(base, base_wall, rate);
  auto ideal = [=](int64_t c) { return Estimate(base_wall, base, c, rate); };
  auto wall_of = [=](int64_t c) {
    const uint64_t epoch = static_cast<uint64_t>(c) >> 32;
    return ideal(c) + static_cast<double>(epoch % 5) * 1e-6;
  };
  Fake().wall_of = wall_of;
  Fake().tick = base;
  Fake().tick_step = int64_t{1} << 20;

  constexpr int kThreads = 4, kReads = 100000;
  std::atomic<int> bad{0};
  // Retried pairs read the counter too, so a few more epochs than the
  // reads alone make; twice as many leaves room to spare.
  std::vector<std::atomic<bool>> measured(2 * (kThreads * kReads / 4096 + 2));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kReads; ++i) {
        t_wall_called = false;
        const int64_t result = Epoch();
        if (t_wall_called &&
            result == static_cast<int64_t>(wall_of(t_wall_now) * 1e9)) {
          measured[(static_cast<uint64_t>(t_wall_now) >> 32) - 100] = true;
          continue;
        }
        // A reader may pair its estimate with a drift that another thread
        // measured in a neighbouring epoch: that is the declared race, and
        // it moves the result by at most the change of lead, 4 us here.
        const double want = ideal(t_last_now) * 1e9;
        if (result < want - 5000 || result > want + 5000) ++bad;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);
  const uint64_t last = static_cast<uint64_t>(Fake().tick.load()) >> 32;
  ASSERT_GE(last - 100, 90u);
  // Each epoch after calibration's was measured at least once.
  for (uint64_t e = 101; e < last; ++e) {
    EXPECT_TRUE(measured[e - 100]) << "epoch " << e << " never re-measured";
  }
  EXPECT_GE(RecordedEpoch(), last - 1);
}

}  // namespace
