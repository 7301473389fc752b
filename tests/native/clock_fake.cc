#include "tests/native/clock_fake.h"

#include <errno.h>
#include <stdarg.h>
#include <sys/prctl.h>
#include <sys/timex.h>
#include <time.h>

#include <algorithm>
#include <cmath>

#include "tests/support/next_definition.h"

namespace clock_fake {
namespace {

// Plain zero-initialised storage: the library's constructors record into it
// before any constructor of this program has run.
RaceDeclaration g_declarations[16];
std::atomic<int> g_declaration_count;
// Taken once this program's own constructors run, after the library's.
const int kDeclarationsAtLoad = g_declaration_count.load();
std::atomic<int> g_seccomp_queries;

// The next queued value, or zero with the underflow noted.
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

// Passes a read's cost, returning the virtual time it reads.
int64_t HostRead(int64_t cost) { return Fake().ns.fetch_add(cost) + cost / 2; }

// The same for a read of one of the kernel's clocks, which may be delayed:
// its reading is taken after the delay.
int64_t HostClockRead() {
  FakeClock& f = Fake();
  const int64_t delay = f.host.read_delay_ns ? f.host.read_delay_ns(f.ns.load()) : 0;
  return f.ns.fetch_add(f.host.clock_read_ns + delay) + delay + f.host.clock_read_ns / 2;
}

// gettimeofday truncates to the microsecond.
double Microseconds(long double ns) {
  const int64_t us = static_cast<int64_t>(floorl(ns / 1000));
  return static_cast<double>(us / 1000000) + static_cast<double>(us % 1000000) / 1000000.0;
}

void ToTimespec(long double ns, struct timespec* ts) {
  const int64_t whole = static_cast<int64_t>(floorl(ns));
  ts->tv_sec = static_cast<time_t>(whole / 1000000000);
  ts->tv_nsec = static_cast<long>(whole % 1000000000);
}

// The wall clock, as gettimeofday (truncated to the microsecond) or
// CLOCK_REALTIME (to the nanosecond) gives it. The clock reads the latter
// while it measures.
double ScriptedWall(bool realtime, struct timespec* ts) {
  FakeClock& f = Fake();
  if (f.hosted) {
    t_wall_called = true;
    t_wall_now = t_last_now;
    ++f.host_wall_reads;
    const int64_t read = HostClockRead();
    const long double ns = f.host.realtime(f.host.wall_at_last_counter_read ? t_last_ns : read);
    if (ts != nullptr) ToTimespec(ns, ts);
    return realtime ? static_cast<double>(ns / 1e9L) : Microseconds(ns);
  }
  std::function<void()> hook;
  double v = 0;
  {
    std::lock_guard<std::mutex> lock(f.mu);
    ++f.wall_calls;
    v = Pop(f.wall, &f.underflow);
    hook = f.on_wall;
  }
  if (hook) hook();
  if (ts != nullptr) {
    ts->tv_sec = static_cast<time_t>(floor(v));
    ts->tv_nsec = static_cast<long>(llround((v - floor(v)) * 1e9));
    if (ts->tv_nsec == 1000000000) ++ts->tv_sec, ts->tv_nsec = 0;
  }
  return v;
}

}  // namespace

thread_local int64_t t_last_now, t_last_ns;
thread_local bool t_wall_called;
thread_local int64_t t_wall_now;

FakeClock& Fake() {
  static FakeClock* fake = new FakeClock;
  return *fake;
}

int DeclarationsAtLoad() { return kDeclarationsAtLoad; }
int SeccompQueries() { return g_seccomp_queries.load(); }

const RaceDeclaration* FindDeclaration(int line) {
  for (int i = 0; i < kDeclarationsAtLoad && i < 16; ++i) {
    if (g_declarations[i].line == line) return &g_declarations[i];
  }
  return nullptr;
}

long double Track::operator()(int64_t t) const {
  long double v = origin_, per_ns = per_ns_;
  int64_t from = 0;
  for (const Change& c : changes_) {
    if (t < c.t) break;
    v += static_cast<long double>(c.t - from) * per_ns + c.jump;
    from = c.t;
    per_ns = c.per_ns;
  }
  return v + static_cast<long double>(t - from) * per_ns;
}

void StartHost(const Host& host) {
  FakeClock& f = Fake();
  f.host = host;
  f.ns = 0;
  f.host_wall_reads = 0;
  f.host_drift_stores = 0;
  f.hosted = true;
}

void Pass(int64_t ns) { Fake().ns += ns; }
int64_t HostNs() { return Fake().ns.load(); }

int LongShift(double rate) {
#if defined(__aarch64__)
  return std::min(32, static_cast<int>(std::log2(rate)));
#else
  (void)rate;
  return 32;
#endif
}

int BlockShift() {
#if defined(__aarch64__)
  return std::max(12, std::min(LongShift(Fake().rate),
                               static_cast<int>(std::log2(Fake().rate * 1e-3))));
#else
  return 21;
#endif
}

uint64_t RecordedWindow() {
  const RaceDeclaration* d = FindDeclaration(39);
  uint64_t v = 0;
  if (d != nullptr) memcpy(&v, const_cast<const void*>(d->address), sizeof(v));
  return v;
}
uint64_t RecordedEpoch() { return (RecordedWindow() >> 6 << BlockShift()) >> 32; }
bool RecordedBlockHolds(int64_t count) {
  return RecordedWindow() >> 6 == static_cast<uint64_t>(count) >> BlockShift();
}

void SetRecordedBlock(int64_t count) {
  const RaceDeclaration* d = FindDeclaration(39);
  const uint64_t block = static_cast<uint64_t>(count) >> BlockShift() << 6 | 63;
  if (d != nullptr) memcpy(const_cast<void*>(d->address), &block, sizeof(block));
}

uint32_t FloatBits(float f) {
  uint32_t b;
  memcpy(&b, &f, sizeof(b));
  return b;
}

// volatile keeps the compiler from fusing or reordering; a library built
// with contraction or a different order of operations disagrees with this
// in the last bits.
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

scripted_adjtimex::Reading Disciplined(long freq, long tick_delta) {
  scripted_adjtimex::Reading r = scripted_adjtimex::Undisciplined();
  r.result = TIME_OK;
  r.status = STA_PLL;
  r.freq = freq;
  r.tick += tick_delta;
  return r;
}

void ClockTest::SetUp() {
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

void ClockTest::TearDown() {
  FakeClock& f = Fake();
  std::lock_guard<std::mutex> lock(f.mu);
  EXPECT_FALSE(f.underflow) << "the clock read more than the script held";
  EXPECT_TRUE(f.counter.empty()) << "counter reads left unused";
  EXPECT_TRUE(f.wall.empty()) << "wall-clock reads left unused";
  f.scripted = false;
  f.hosted = false;
  f.host = Host();
  f.on_drift = nullptr;
}

void ClockTest::Script(std::initializer_list<int64_t> counter, std::initializer_list<double> wall) {
  FakeClock& f = Fake();
  std::lock_guard<std::mutex> lock(f.mu);
  f.counter.insert(f.counter.end(), counter);
  f.wall.insert(f.wall.end(), wall);
}

void ClockTest::ScriptAll(const std::vector<int64_t>& counter, const std::vector<double>& wall) {
  FakeClock& f = Fake();
  std::lock_guard<std::mutex> lock(f.mu);
  f.counter.assign(counter.begin(), counter.end());
  f.wall.assign(wall.begin(), wall.end());
}

int ClockTest::WallCalls() {
  std::lock_guard<std::mutex> lock(Fake().mu);
  return Fake().wall_calls;
}

void ClockTest::Calibrate(int64_t base, double base_wall, double rate) {
  Fake().rate = rate;
  Script({base, base + 10}, {base_wall});
  Init();
  std::lock_guard<std::mutex> lock(Fake().mu);
  Fake().now_calls = Fake().wall_calls = 0;
}

}  // namespace clock_fake

using namespace clock_fake;

namespace java_com_vornix_common_unix_base {

struct CycleClock {
  static int64_t Now();
};

int64_t CycleClock::Now() {
  FakeClock& f = Fake();
  if (f.hosted) {
    const int64_t t = HostRead(f.host.counter_read_ns);
    t_last_ns = t;
    return t_last_now = static_cast<int64_t>(floorl(f.host.counter(t)));
  }
  std::lock_guard<std::mutex> lock(f.mu);
  if (!f.scripted) {
    static auto real = NextDefinition<int64_t (*)()>(
        "_ZN32java_com_vornix_common_unix_base10CycleClock3NowEv");
    return real();
  }
  ++f.now_calls;
  return t_last_now = Pop(f.counter, &f.underflow);
}

double WallTime_Slow() {
  if (!Fake().scripted && !Fake().hosted) {
    static auto real = NextDefinition<double (*)()>(
        "_ZN32java_com_vornix_common_unix_base13WallTime_SlowEv");
    return real();
  }
  return clock_fake::ScriptedWall(false, nullptr);
}

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

// Notes the recorded block that each drift store meets, then stores it.
void SetDrift(float drift) {
  FakeClock& f = Fake();
  if (f.hosted) {
    ++f.host_drift_stores;
    if (f.on_drift) f.on_drift();
  }
  {
    std::lock_guard<std::mutex> lock(f.mu);
    if (f.watch_drift) f.epoch_at_drift.push_back(RecordedWindow());
  }
  static auto real = NextDefinition<void (*)(float)>(
      "_ZN32java_com_vornix_common_unix_base8SetDriftEf");
  real(drift);
}

}  // namespace java_com_vornix_common_unix_base

// CLOCK_REALTIME is the scripted wall clock; CLOCK_MONOTONIC and
// CLOCK_MONOTONIC_RAW are the host's where it has them, and cannot be read
// while the queues script the clock.
extern "C" int clock_gettime(clockid_t id, struct timespec* ts) noexcept {
  FakeClock& f = Fake();
  const bool other = id == CLOCK_MONOTONIC || id == CLOCK_MONOTONIC_RAW;
  if (id == CLOCK_REALTIME && (f.scripted || f.hosted)) {
    clock_fake::ScriptedWall(true, ts);
    return 0;
  }
  if (other && f.hosted) {
    const auto& clock = id == CLOCK_MONOTONIC ? f.host.monotonic : f.host.raw;
    if (clock) {
      clock_fake::ToTimespec(clock(clock_fake::HostClockRead()), ts);
      return 0;
    }
  }
  if (other && (f.scripted || f.hosted)) {
    errno = EINVAL;
    return -1;
  }
  static const auto real = NextDefinition<int (*)(clockid_t, struct timespec*)>("clock_gettime");
  return real(id, ts);
}

// Counts the library's questions, and passes every call on.
extern "C" int prctl(int option, ...) noexcept {
  va_list ap;
  va_start(ap, option);
  unsigned long args[4];
  for (unsigned long& a : args) a = va_arg(ap, unsigned long);
  va_end(ap);
  if (option == PR_GET_SECCOMP) ++clock_fake::g_seccomp_queries;
  static const auto real = NextDefinition<int (*)(int, unsigned long, unsigned long, unsigned long,
                                                  unsigned long)>("prctl");
  return real(option, args[0], args[1], args[2], args[3]);
}

extern "C" void AnnotateBenignRaceSized(const char* file, int line, const volatile void* address,
                                        size_t size, const char* description) {
  const int i = g_declaration_count.fetch_add(1);
  if (i < 16) g_declarations[i] = {file, line, address, size, description};
}
