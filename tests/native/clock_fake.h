// The native clock's world, scripted, for clock_test.
//
// The program defines the library's counter, wall clock, rate and race
// declaration, and the C library's clock_gettime, and links a scripted
// adjtimex. The library calls them through the dynamic symbol table, so its
// calls land here: that is both what the tests prove and how they make the
// clock deterministic. Two ways to script it:
//  - queues: each counter read and each wall-clock read takes the next
//    value given, for results that are exact to the bit; the kernel's other
//    clocks cannot be read then;
//  - a host: the counter and the kernel's clocks are functions of virtual
//    time, which each read passes by its cost and the test by its gaps.

#ifndef VARNOK_TESTS_NATIVE_CLOCK_FAKE_H_
#define VARNOK_TESTS_NATIVE_CLOCK_FAKE_H_

#include <stdint.h>
#include <string.h>

#include <atomic>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <vector>

#include "com_vornix_common_unix_Varnok.h"
#include "gtest/gtest.h"
#include "tests/support/scripted_adjtimex.h"

namespace clock_fake {

// --- What the library declared as racy, recorded from load on -------------

struct RaceDeclaration {
  const char* file;
  int line;
  const volatile void* address;
  size_t size;
  const char* description;
};
// Those made before this program's constructors ran: the library's own.
int DeclarationsAtLoad();
const RaceDeclaration* FindDeclaration(int line);

// --- A host of virtual time -------------------------------------------------

// A quantity that runs at a rate per virtual nanosecond from an origin, and
// from given times on at other rates, with a jump there.
class Track {
 public:
  Track(long double origin, long double per_ns) : origin_(origin), per_ns_(per_ns) {}
  Track& From(int64_t t, long double per_ns, long double jump = 0) {
    changes_.push_back({t, per_ns, jump});
    return *this;
  }
  long double operator()(int64_t t) const;

 private:
  struct Change {
    int64_t t;
    long double per_ns, jump;
  };
  long double origin_, per_ns_;
  std::vector<Change> changes_;  // in order of time
};

struct Host {
  std::function<long double(int64_t)> counter;    // ticks
  std::function<long double(int64_t)> realtime;   // ns since the epoch
  std::function<long double(int64_t)> monotonic;  // ns; null: unreadable
  std::function<long double(int64_t)> raw;        // ns; null: unreadable
  int64_t counter_read_ns = 10;  // what each read takes
  int64_t clock_read_ns = 25;
  // Extra time a read of any of the kernel's clocks beginning at t takes
  // (a VM exit, a preemption inside the pair); null: none.
  std::function<int64_t(int64_t)> read_delay_ns;
  // The wall clock read as at this thread's last counter read: a pair then
  // has no error at all, however many reads of other threads its two reads
  // straddle.
  bool wall_at_last_counter_read = false;
};

// --- The fake ----------------------------------------------------------------

struct FakeClock {
  std::mutex mu;
  bool scripted = false;
  std::deque<int64_t> counter;  // successive CycleClock::Now() results
  std::deque<double> wall;      // successive WallTime_Slow() results
  std::function<void()> on_wall;  // runs inside WallTime_Slow, if set
  // While set, the recorded block that each drift store meets.
  bool watch_drift = false;
  std::vector<uint64_t> epoch_at_drift;
  double rate = 2e9;
  bool underflow = false;
  int now_calls = 0, wall_calls = 0, rate_calls = 0, discovery_calls = 0;

  // While set, the host serves every read instead of the queues.
  bool hosted = false;
  Host host;
  std::atomic<int64_t> ns{0};  // virtual time
  std::atomic<int> host_wall_reads{0}, host_drift_stores{0};
  std::function<void()> on_drift;  // runs at each drift stored, if set
};
FakeClock& Fake();

// The last counter read on this thread, and its virtual time; whether the
// last call read the wall clock, and the counter read just before that.
extern thread_local int64_t t_last_now, t_last_ns;
extern thread_local bool t_wall_called;
extern thread_local int64_t t_wall_now;

// How often the library asked whether a seccomp filter is installed.
int SeccompQueries();

// Starts a host at virtual time 0; Pass moves virtual time on.
void StartHost(const Host& host);
void Pass(int64_t ns);
int64_t HostNs();

// --- The library's methods, and what it left behind --------------------------

inline jlong Epoch() { return Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(nullptr, nullptr); }
inline jlong Relative() {
  return Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(nullptr, nullptr);
}
inline void Init() { Java_com_vornix_common_unix_Varnok_init(nullptr, nullptr); }

constexpr int64_t kEpoch = int64_t{1} << 32;
constexpr long kPpm = 65536;  // adjtimex's freq is in 2^-16 ppm
// A present-day result is a double near 1.7e18 ns, 256 ns from its
// neighbours: each rounding on the way, and the truncation, moves it by up
// to that grain.
constexpr int64_t kGrainNs = 256;

// The window of a clock that nothing steers: a cycle epoch on x86-64; on
// aarch64, whose timer may run at 25 MHz, the largest power of two ticks
// within a second.
int LongShift(double rate);
// The fast path's block: 2^21 ticks on x86-64, about a millisecond's power
// of two on aarch64.
int BlockShift();

// The recorded block's word, read where the library declared it to be: the
// count shifted right by the block's shift, then left by six for a
// generation in the low six bits. At the top of the range while no block
// is open.
uint64_t RecordedWindow();
uint64_t RecordedEpoch();
bool RecordedBlockHolds(int64_t count);
// As another thread would record the block of that count.
void SetRecordedBlock(int64_t count);

uint32_t FloatBits(float f);
// The clock's arithmetic, every step rounded on its own.
double Estimate(double base_wall, int64_t base, int64_t now, double rate);
int64_t FastResult(double estimate, float drift);

// A clock an NTP daemon disciplines: freq, and the tick this many
// microseconds off its nominal length.
scripted_adjtimex::Reading Disciplined(long freq, long tick_delta = 0);

class ClockTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  static void Script(std::initializer_list<int64_t> counter, std::initializer_list<double> wall);
  static void ScriptAll(const std::vector<int64_t>& counter, const std::vector<double>& wall);
  static int WallCalls();
  // Calibrates on a good first pair (base, base_wall).
  static void Calibrate(int64_t base, double base_wall, double rate = 2e9);
};

}  // namespace clock_fake

#endif  // VARNOK_TESTS_NATIVE_CLOCK_FAKE_H_
