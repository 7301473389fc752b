// The native clock, driven by queues of counter and wall-clock readings for
// results exact to the bit, and by many threads on a scripted host.
// clock_fake.h tells how the program puts itself in the library's place;
// clock_host_test.cc has the clock on hosts whose kernel is disciplined.

#include <errno.h>
#include <stdint.h>
#include <string.h>
#include <sys/timex.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <functional>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "tests/native/clock_fake.h"
#include "tests/support/scripted_adjtimex.h"

namespace java_com_vornix_common_unix_base {
// The library's own drift cell, reached through its exported functions.
void SetDrift(float drift);
float GetDrift();
}  // namespace java_com_vornix_common_unix_base

namespace {

using namespace clock_fake;
using java_com_vornix_common_unix_base::GetDrift;
using java_com_vornix_common_unix_base::SetDrift;
namespace sa = scripted_adjtimex;

// --- Load time and the library's own calls ---------------------------------

TEST(LoadTest, DeclaresExactlyTheTwoRacesAtLoadWithTheirSites) {
  ASSERT_EQ(DeclarationsAtLoad(), 2);
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


// A pair that a preemption split is not taken: the reader returns the wall
// clock it read, which is right, and leaves the re-measurement to the next
// read, which reads the counter afresh. No reader pays for more than one
// wall-clock read.
TEST_F(ClockTest, ASplitPairIsNotTakenButItsWallClockIsReturned) {
  const int64_t base = 40 * kEpoch;
  Calibrate(base, 1.5e9);
  const int64_t t1 = 41 * kEpoch + 100, t2 = 41 * kEpoch + 900000;
  SetDrift(0.125f);
  const double w1 = Estimate(1.5e9, base, t1, 2e9) + 1e-4;
  const double w2 = Estimate(1.5e9, base, t2, 2e9) + 3e-4;
  Script({t1, t1 + 200001}, {w1});
  EXPECT_EQ(Epoch(), static_cast<int64_t>(w1 * 1e9));
  EXPECT_EQ(FloatBits(GetDrift()), FloatBits(0.125f));
  EXPECT_EQ(RecordedEpoch(), 40u);
  Script({t2, t2 + 7}, {w2});
  EXPECT_EQ(Epoch(), static_cast<int64_t>(w2 * 1e9));
  // The drift is that of the good pair, measured from its own counter read.
  EXPECT_EQ(FloatBits(GetDrift()),
            FloatBits(static_cast<float>(w2 - Estimate(1.5e9, base, t2, 2e9))));
  EXPECT_EQ(RecordedEpoch(), 41u);
}

// A reader that meets the word held by another thread's re-measurement
// reads the wall clock itself, once, and never waits.
TEST_F(ClockTest, AReaderThatMeetsTheWordHeldReadsTheWallClockItself) {
  const int64_t base = 50 * kEpoch;
  Calibrate(base, 1.5e9);
  const RaceDeclaration* d = FindDeclaration(39);
  ASSERT_NE(d, nullptr);
  const uint64_t held = UINT64_MAX;
  memcpy(const_cast<void*>(d->address), &held, sizeof(held));
  Script({base + 10000}, {1.5e9 + 2.5});
  EXPECT_EQ(Epoch(), 1500000002500000000);
  EXPECT_EQ(RecordedWindow(), held);
  SetRecordedBlock(base);
}

// --- Faults: a wall clock slow many times, a counter that jumps back ---------

TEST_F(ClockTest, AWallClockSlowManyTimesInARow) {
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
  // The reads of the next epoch: each of kSlow readers gets its own wall
  // clock and leaves the epoch unmeasured, until one pair is good.
  for (int i = 0; i < kSlow; ++i) {
    const int64_t c = 82 * kEpoch + i * 1000000;
    counter.insert(counter.end(), {c, c + 300000});
    wall.push_back(1.0e9 - i);
  }
  const int64_t now = 82 * kEpoch + 999999999;
  counter.insert(counter.end(), {now, now + 1});
  const double good_wall = Estimate(1.6e9, base, now, 2e9) - 7e-4;
  wall.push_back(good_wall);
  ScriptAll(counter, wall);

  Init();
  EXPECT_EQ(WallCalls(), kSlow + 1);
  EXPECT_EQ(RecordedEpoch(), 81u);
  for (int i = 0; i < kSlow; ++i) {
    ASSERT_EQ(Epoch(), static_cast<int64_t>((1.0e9 - i) * 1e9)) << i;
    ASSERT_EQ(RecordedEpoch(), 81u);
  }
  EXPECT_EQ(Epoch(), static_cast<int64_t>(good_wall * 1e9));
  EXPECT_EQ(WallCalls(), 2 * kSlow + 2);
  EXPECT_EQ(RecordedEpoch(), 82u);
  EXPECT_EQ(FloatBits(GetDrift()),
            FloatBits(static_cast<float>(good_wall - Estimate(1.6e9, base, now, 2e9))));
}

TEST_F(ClockTest, ACounterThatJumpsBackwardsRemeasuresAtEveryEpochItLandsIn) {
  const int64_t base = 90 * kEpoch + 12345;
  Calibrate(base, 1.5e9);
  // Back into an older epoch, to zero, and to a count with the top bit set
  // (a negative int64): each is a window not recorded, so each re-measures
  // and returns its own wall clock. Each lands seconds off the line, which
  // the clock folds into a new base pair, and then it measures.
  // Measuring, from the first on, a pair is a bracket of its own: its count
  // the middle of two more counter reads.
  const int64_t jumps[] = {89 * kEpoch + 5, 0, INT64_MIN + 77, 90 * kEpoch};
  double wall = 1.5e9 + 1.0;
  bool measuring = false;
  for (const int64_t c : jumps) {
    wall += 1.0;
    if (measuring) {
      Script({c, c, c + 10}, {wall});
    } else {
      Script({c, c + 10}, {wall});
    }
    measuring = true;
    EXPECT_EQ(Epoch(), static_cast<int64_t>(wall * 1e9)) << c;
    EXPECT_TRUE(RecordedBlockHolds(c)) << c;
    EXPECT_EQ(FloatBits(GetDrift()), FloatBits(0.0f)) << c;
  }
  // A read just after the last jump, below the old base: no system call,
  // and the line starts at the last pair.
  Script({90 * kEpoch + 6}, {});
  EXPECT_EQ(Epoch(), FastResult(Estimate(wall, 90 * kEpoch + 5, 90 * kEpoch + 6, 2e9),
                                0.0f));
  EXPECT_EQ(WallCalls(), 4);
}


// A measuring clock starts a line at each pair, so it takes only tight
// pairs (5 us: 10000 ticks here). Each reader tries one pair; after eight
// refused in a row, one within the 100 us is taken, so that a host whose
// clock reads are slow system calls still gets a clock.
TEST_F(ClockTest, AMeasuringClockTakesOnlyTightPairsUntilEightWereRefused) {
  for (const int wide : {1, 8, 9}) {
    SCOPED_TRACE(::testing::Message() << wide << " wide pairs");
    sa::Script(Disciplined(0));
    const int64_t base = 500 * kEpoch;
    Calibrate(base, 1.5e9);
    int64_t c = base + (int64_t{1} << BlockShift());  // the next block
    for (int i = 0; i < wide; ++i, c += 1000000) {
      const double w = Estimate(1.5e9, base, c, 2e9) + i * 1e-6;
      Script({c, c, c + 10001}, {w});  // the read's count, then its bracket
      EXPECT_EQ(Epoch(), static_cast<int64_t>(w * 1e9));
      // The ninth is taken: its block is open, the others left as they were.
      EXPECT_EQ(RecordedBlockHolds(c), i == 8) << i;
    }
    if (wide <= 8) {
      const double w = Estimate(1.5e9, base, c, 2e9) + 0.5e-6;
      Script({c, c, c + 10000}, {w});
      EXPECT_EQ(Epoch(), static_cast<int64_t>(w * 1e9));
      EXPECT_TRUE(RecordedBlockHolds(c));
    }
    EXPECT_EQ(WallCalls(), wide + (wide <= 8));
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
    if (c.measures) {
      Script({last + 1, last + 1, last + 2}, {wall});  // and a bracket of its own
    } else {
      Script({last + 1, last + 2}, {wall});
    }
    EXPECT_EQ(Epoch(), static_cast<int64_t>(wall * 1e9));
    EXPECT_EQ(WallCalls(), 1);
  }
}

// --- Many threads at an epoch boundary ---------------------------------------

// A host whose counter runs at the rate given, from the count given, and
// whose system clock is the function given of the counter read just before
// on the same thread, in seconds (as gettimeofday has it: to the
// microsecond). Each read of the counter takes read_ns.
void HostCounter(int64_t from, double rate, int64_t read_ns,
                 std::function<double(int64_t)> wall_of) {
  Host h;
  h.counter = Track(from, rate * 1e-9);
  h.counter_read_ns = read_ns;
  h.wall_at_last_counter_read = true;
  h.realtime = [counter = h.counter, wall_of](int64_t t) {
    return static_cast<long double>(wall_of(static_cast<int64_t>(counter(t)))) * 1e9L;
  };
  StartHost(h);
}

TEST_F(ClockTest, ThreadsCrossingAnEpochBoundaryTakeUpTheNewDrift) {
  const double rate = 2e9, base_wall = 1.6e9;
  const int64_t base = 60 * kEpoch + (kEpoch - 4000000);
  Calibrate(base, base_wall, rate);
  // From the next epoch on the system clock runs 1 ms ahead of the
  // calibration: the reads there must take up that drift.
  auto ideal = [=](int64_t c) { return Estimate(base_wall, base, c, rate); };
  // 50 ns a read: 40000 reads to the boundary.
  HostCounter(base + 20, rate, 50, [=](int64_t c) {
    return ideal(c) + (static_cast<uint64_t>(c) >> 32 > 60 ? 1e-3 : 0.0);
  });

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
        // Within gettimeofday's microsecond of the drift.
        auto near = [&](double drift) {
          const double want = (ideal(t_last_now) + drift) * 1e9;
          return result >= want - 1500 && result <= want + 1000;
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
  EXPECT_NEAR(GetDrift(), 1e-3, 2e-6);  // wall - estimate, near 1.6e9 s
}

TEST_F(ClockTest, ManyThreadsThroughManyEpochs) {
  // Every read moves the counter 2^20 ticks, so the threads cross an epoch
  // every 4096 reads between them, about a hundred in all. The system
  // clock's lead over the calibration changes from epoch to epoch by a few
  // microseconds. At 1e11 ticks/s a pair tolerates 1e7 ticks: a
  // re-measurement fails whenever ten reads of other threads fall inside
  // its pair, and the next reader then tries.
  const double rate = 1e11, base_wall = 1.7e9;
  const int64_t base = 100 * kEpoch;
  Calibrate(base, base_wall, rate);
  auto ideal = [=](int64_t c) { return Estimate(base_wall, base, c, rate); };
  HostCounter(base, rate, (int64_t{1} << 20) / 100, [=](int64_t c) {
    const uint64_t epoch = static_cast<uint64_t>(c) >> 32;
    return ideal(c) + static_cast<double>(epoch % 5) * 0.8e-6;
  });
  // Each drift stored is a re-measurement, by the thread whose wall-clock
  // read it took. An epoch may pass while the re-measuring thread is
  // preempted (the other readers read the wall clock meanwhile), but none
  // may be served from the line unless it was measured.
  constexpr int kThreads = 4, kReads = 100000;
  const size_t epochs = 2 * (kThreads * kReads / 4096 + 2);
  std::vector<std::atomic<bool>> measured(epochs), served(epochs);
  Fake().on_drift = [&] {
    const uint64_t e = (static_cast<uint64_t>(t_wall_now) >> 32) - 100;
    if (e < epochs) measured[e] = true;
  };
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kReads; ++i) {
        t_wall_called = false;
        const int64_t result = Epoch();
        if (t_wall_called) continue;  // the wall clock itself
        const uint64_t e = (static_cast<uint64_t>(t_last_now) >> 32) - 100;
        if (e < epochs) served[e] = true;
        // A reader may pair its estimate with a drift that another thread
        // measured in a neighbouring epoch: that is the declared race, and
        // it moves the result by at most the change of lead, 3.2 us here,
        // and gettimeofday's microsecond.
        const double want = ideal(t_last_now) * 1e9;
        if (result < want - 6000 || result > want + 5000) ++bad;
      }
    });
  }
  for (auto& t : threads) t.join();
  Fake().on_drift = nullptr;
  EXPECT_EQ(bad.load(), 0);
  const uint64_t last = static_cast<uint64_t>(Fake().host.counter(HostNs())) >> 32;
  ASSERT_GE(last - 100, 90u);
  int count = 0;
  for (uint64_t e = 101; e < last; ++e) {
    EXPECT_TRUE(measured[e - 100] || !served[e - 100]) << "epoch " << e << " served unmeasured";
    count += measured[e - 100];
  }
  EXPECT_GT(count, 0);
  EXPECT_GE(RecordedEpoch(), last - 1);
}

}  // namespace
