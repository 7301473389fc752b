// The timing base: discovery of the counter's rate from the kernel's files,
// the signal-proof sleep, the wall clock and the drift cell.
//
// The rate comes from fixed paths, so every discovery case runs in a forked
// child with a private mount namespace, where tmpfs and bind mounts put the
// case's fixture files at those paths. This program also defines the counter,
// the sleep, nanosleep, gettimeofday and (through scripted_host.cc) the raw
// kernel clock: the library's own calls reach these definitions first, so a
// case scripts a host whose counter runs at the case's rate and sees exactly
// what was slept. Each definition passes through to the real one unless
// scripted.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "java/com/vornix/common/unix/base/sysinfo.h"
#include "java/com/vornix/common/unix/base/time_support.h"
#include "java/com/vornix/common/unix/base/walltime.h"
#include "tests/support/next_definition.h"
#include "tests/support/scripted_host.h"

extern "C" void Java_com_vornix_common_unix_Varnok_init(void*, void*);
extern "C" int64_t Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(void*,
                                                                      void*);

namespace base = java_com_vornix_common_unix_base;
namespace sh = scripted_host;

namespace {

struct SleepLog {
  bool record;
  int calls, first_ms;
} g_sleep;

// One scripted outcome of nanosleep: err 0 is success, otherwise the call
// writes `remainder` and fails with that errno.
struct NanosleepStep {
  int err;
  timespec remainder;
};

struct NanosleepLog {
  bool fake;
  const NanosleepStep* steps;
  int nsteps, calls;
  timespec requests[8];
  const timespec* request_ptrs[8];
  timespec* remainder_ptrs[8];
} g_nanosleep;

struct WallClockScript {
  bool fake;
  timeval tv;
} g_tod;

}  // namespace

namespace java_com_vornix_common_unix_base {

void SleepForMilliseconds(int milliseconds) {
  if (g_sleep.record) {
    if (g_sleep.calls++ == 0) g_sleep.first_ms = milliseconds;
    sh::Sleep(int64_t{milliseconds} * 1000000);
    return;
  }
  static const auto real = NextDefinition<void (*)(int)>(
      "_ZN32java_com_vornix_common_unix_base20SleepForMillisecondsEi");
  real(milliseconds);
}

}  // namespace java_com_vornix_common_unix_base

extern "C" int nanosleep(const struct timespec* request,
                         struct timespec* remainder) {
  if (!g_nanosleep.fake) {
    static const auto real =
        NextDefinition<int (*)(const timespec*, timespec*)>("nanosleep");
    return real(request, remainder);
  }
  const int i = g_nanosleep.calls++;
  if (i < 8) {
    g_nanosleep.requests[i] = *request;
    g_nanosleep.request_ptrs[i] = request;
    g_nanosleep.remainder_ptrs[i] = remainder;
  }
  if (i >= g_nanosleep.nsteps || g_nanosleep.steps[i].err == 0) return 0;
  if (remainder != nullptr) *remainder = g_nanosleep.steps[i].remainder;
  errno = g_nanosleep.steps[i].err;
  return -1;
}

extern "C" int gettimeofday(struct timeval* tv, void* tz) noexcept {
  if (!g_tod.fake) {
    static const auto real = NextDefinition<int (*)(timeval*, void*)>("gettimeofday");
    return real(tv, tz);
  }
  *tv = g_tod.tv;
  return 0;
}

namespace {

// The ticks that the scripted counter advances across the measuring sleep;
// no fixture below yields this rate, so it marks a measurement.
constexpr int64_t kMeasuredTicks = 3000000007;
constexpr double kMeasured = -1.0;

// The true rate of the host a case scripts: the rate the case expects, so
// that the check against the kernel's clock keeps it.
int64_t g_true_rate = kMeasuredTicks;

constexpr char kCpu0[] = "/sys/devices/system/cpu/cpu0";

// A typical /proc/cpuinfo: reached, it gives 1e9 ticks/s.
constexpr char kCpuinfo[] =
    "processor\t: 0\nvendor_id\t: GenuineIntel\ncpu MHz\t\t: 1000.000\n"
    "cache size\t: 512 KB\nbogomips\t: 4000.00\n\n";
constexpr char kNoRateCpuinfo[] = "processor\t: 0\nflags\t\t: fpu tsc\n\n";

// What the three paths hold in a case; nullptr means no such file (for
// /proc/cpuinfo: it cannot be opened).
struct View {
  const char *tsc_freq_khz, *cpuinfo_max_freq, *cpuinfo;
};

// What a child saw, sent whole through a pipe.
struct Report {
  char skip[200], failure[200];
  uint64_t rate_bits;
  int sleep_calls, first_sleep_ms, fd_before, fd_after;
  char err[256];
  int64_t epoch_ns, before_ns, after_ns, init_ns;
  double first_rate;
};

bool WriteFile(const std::string& path, const char* text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const ssize_t len = static_cast<ssize_t>(strlen(text));
  const bool ok = write(fd, text, len) == len;
  return close(fd) == 0 && ok;
}

bool MakeView(const View& view, Report* r) {
  if (unshare(CLONE_NEWNS) != 0) {
    snprintf(errno == EPERM ? r->skip : r->failure, sizeof(r->skip),
             "unshare(CLONE_NEWNS): %s (the fixtures need root)",
             strerror(errno));
    return false;
  }
  const std::string cpu0 = kCpu0;
  const char* step = nullptr;
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    step = "making mounts private";
  } else if (mount("tmpfs", kCpu0, "tmpfs", 0, "mode=0755") != 0) {
    step = "tmpfs over cpu0";
  } else if (mkdir((cpu0 + "/cpufreq").c_str(), 0755) != 0 ||
             (view.tsc_freq_khz != nullptr &&
              !WriteFile(cpu0 + "/tsc_freq_khz", view.tsc_freq_khz)) ||
             (view.cpuinfo_max_freq != nullptr &&
              !WriteFile(cpu0 + "/cpufreq/cpuinfo_max_freq",
                         view.cpuinfo_max_freq))) {
    step = "writing the sysfs fixtures";
  } else if (view.cpuinfo == nullptr) {
    if (mount("tmpfs", "/proc", "tmpfs", 0, "mode=0755") != 0) {
      step = "tmpfs over /proc";
    }
  } else if (!WriteFile(cpu0 + "/fixture-cpuinfo", view.cpuinfo) ||
             mount((cpu0 + "/fixture-cpuinfo").c_str(), "/proc/cpuinfo",
                   nullptr, MS_BIND, nullptr) != 0) {
    step = "bind mount over /proc/cpuinfo";
  }
  if (step == nullptr) return true;
  snprintf((errno == EPERM || errno == EACCES) ? r->skip : r->failure,
           sizeof(r->skip), "%s: %s", step, strerror(errno));
  return false;
}

// Runs `body` in a child that sees `view`; the child's report comes back.
Report RunInView(const View& view, const std::function<void(Report*)>& body) {
  Report r{};
  int fds[2];
  if (pipe(fds) != 0) {
    snprintf(r.failure, sizeof(r.failure), "pipe: %s", strerror(errno));
    return r;
  }
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    // A watchdog, not a time limit: a discovery that never returns (a rate
    // that cannot calibrate) ends the child instead of the whole run.
    alarm(60);
    if (MakeView(view, &r)) body(&r);
    const ssize_t unused = write(fds[1], &r, sizeof(r));
    (void)unused;
    _exit(0);
  }
  close(fds[1]);
  size_t got = 0;
  while (pid > 0 && got < sizeof(r)) {
    const ssize_t n = read(fds[0], reinterpret_cast<char*>(&r) + got,
                           sizeof(r) - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || got != sizeof(r)) {
    snprintf(r.failure, sizeof(r.failure),
             "child died before reporting (wait status %#x)", status);
  }
  return r;
}

// The lowest free descriptor: equal before and after means nothing leaked.
int LowestFreeFd() {
  const int probe = dup(STDERR_FILENO);
  close(probe);
  return probe;
}

// Discovers the rate on a scripted host with a recording sleep, with the
// standard error stream captured.
void DiscoverScripted(Report* r) {
  int err_pipe[2];
  if (pipe(err_pipe) != 0 || dup2(err_pipe[1], STDERR_FILENO) < 0) {
    snprintf(r->failure, sizeof(r->failure), "capturing stderr failed");
    return;
  }
  close(err_pipe[1]);
  sh::Host host;
  host.rate_hz = g_true_rate;
  sh::Start(host);
  g_sleep = {true, 0, 0};
  r->fd_before = LowestFreeFd();
  base::InitializeSystemInfo();
  r->fd_after = LowestFreeFd();
  sh::Stop();
  const double rate = base::CyclesPerSecond();
  memcpy(&r->rate_bits, &rate, sizeof(rate));
  r->sleep_calls = g_sleep.calls;
  r->first_sleep_ms = g_sleep.first_ms;
  close(STDERR_FILENO);
  const ssize_t n = read(err_pipe[0], r->err, sizeof(r->err) - 1);
  (void)n;
}

struct Case {
  const char* what;
  View view;
  double rate;  // or kMeasured: the scripted measurement must replace it
  const char* err = "";
};

uint64_t Bits(double d) {
  uint64_t bits;
  memcpy(&bits, &d, sizeof(bits));
  return bits;
}

// Checks a scripted discovery: the rate bit for bit, whether the one-second
// measurement ran, the error output and the descriptors. The check against
// the kernel's clock sleeps too, but never for a second.
void CheckReport(const Report& r, double rate, const char* err) {
  const bool measured = rate == kMeasured;
  EXPECT_EQ(r.rate_bits,
            Bits(measured ? static_cast<double>(kMeasuredTicks) : rate));
  EXPECT_EQ(r.sleep_calls > 0 && r.first_sleep_ms == 1000, measured);
  EXPECT_STREQ(r.err, err);
  EXPECT_EQ(r.fd_before, r.fd_after) << "a descriptor was left open";
}

void CheckCases(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_true_rate = c.rate == kMeasured ? kMeasuredTicks
                                      : static_cast<int64_t>(c.rate);
    const Report r = RunInView(c.view, DiscoverScripted);
    if (r.skip[0] != '\0') GTEST_SKIP() << r.skip;
    ASSERT_STREQ(r.failure, "");
    CheckReport(r, c.rate, c.err);
  }
}

TEST(RateDiscovery, SysfsFilesComeFirstInOrder) {
  CheckCases({
      {"tsc_freq_khz first", {"2500000\n", "3000000\n", kCpuinfo}, 2.5e9},
      // Once sysfs gave a rate, MHz lines are not parsed: this one would
      // otherwise be unusable and force a measurement.
      {"MHz lines ignored after sysfs",
       {"2500000\n", nullptr, "cpu MHz\t\t: nan\nbogomips\t: 0\n"}, 2.5e9},
      {"cpuinfo_max_freq second", {nullptr, "3000000\n", kCpuinfo}, 3e9},
      {"neither sysfs file", {nullptr, nullptr, kCpuinfo}, 1e9},
  });
}

TEST(RateDiscovery, SysfsTextMustBeOneNumber) {
  CheckCases({
      {"blank after the number", {"123 \n", "3000000\n", kCpuinfo}, 3e9},
      {"unit after the number", {"123kHz\n", "3000000\n", kCpuinfo}, 3e9},
      {"empty file", {"", "3000000\n", kCpuinfo}, 3e9},
      {"max_freq rejected too", {nullptr, "2600000 \n", kCpuinfo}, 1e9},
      {"no newline at the end", {"2500000", nullptr, kCpuinfo}, 2.5e9},
      {"leading white space", {" \t2500000\n", nullptr, kCpuinfo}, 2.5e9},
      {"plus sign", {"+2500000\n", nullptr, kCpuinfo}, 2.5e9},
      // 2^32 + 2500000 and -2^32 + 2500000: only the low 32 bits are kept.
      {"above 32 bits", {"4297467296\n", nullptr, kCpuinfo}, 2.5e9},
      {"below 32 bits", {"-4292467296\n", nullptr, kCpuinfo}, 2.5e9},
      {"lowest usable rate", {"100000\n", nullptr, kCpuinfo}, 1e8},
      {"highest usable rate", {"100000000\n", nullptr, kCpuinfo}, 1e11},
  });
}

TEST(RateDiscovery, CpuinfoLines) {
  CheckCases({
      {"first MHz line wins",
       {nullptr, nullptr, "cpu MHz\t\t: 2000.000\ncpu MHz\t\t: 3000.000\n"},
       2e9},
      {"MHz beats bogomips on either side",
       {nullptr, nullptr, "bogomips : 4000\ncpu MHz : 2000.5\nbogomips : 5\n"},
       2000.5e6},
      {"tabs before the colon", {nullptr, nullptr, "cpu MHz\t\t: 2596.122\n"},
       2596.122 * 1000000},
      {"clock with MHz", {nullptr, nullptr, "clock\t\t: 2400MHz\n"}, 2.4e9},
      {"clock without unit", {nullptr, nullptr, "clock : 2400\n"}, 2.4e9},
      {"clock before cpu MHz",
       {nullptr, nullptr, "clock : 2400MHz\ncpu MHz : 3000\n"}, 2.4e9},
      {"last bogomips wins",
       {nullptr, nullptr, "bogomips\t: 4000.00\nbogomips\t: 5000.00\n"}, 5e9},
  });
}

TEST(RateDiscovery, UnusableRatesAreMeasured) {
  CheckCases({
      {"tsc_freq_khz 0", {"0\n", "3000000\n", kCpuinfo}, kMeasured},
      {"tsc_freq_khz negative", {"-5\n", nullptr, kCpuinfo}, kMeasured},
      {"only a newline", {"\n", "3000000\n", kCpuinfo}, kMeasured},
      {"max_freq 0", {nullptr, "0\n", kCpuinfo}, kMeasured},
      {"just below 1e8", {"99999\n", nullptr, kCpuinfo}, kMeasured},
      {"just above 1e11", {"100000001\n", nullptr, kCpuinfo}, kMeasured},
      {"clamped by strtol", {"99999999999999999999\n", nullptr, kCpuinfo},
       kMeasured},
      {"cpu MHz 0", {nullptr, nullptr, "cpu MHz : 0\n"}, kMeasured},
      {"first MHz line unusable",
       {nullptr, nullptr, "cpu MHz : 0\ncpu MHz : 3000\n"}, kMeasured},
      {"cpu MHz nan", {nullptr, nullptr, "cpu MHz : nan\n"}, kMeasured},
      {"cpu MHz inf", {nullptr, nullptr, "cpu MHz : inf\n"}, kMeasured},
      {"cpu MHz 1e300", {nullptr, nullptr, "cpu MHz : 1e300\n"}, kMeasured},
      {"no rate lines", {nullptr, nullptr, kNoRateCpuinfo}, kMeasured},
      {"tiny bogomips", {nullptr, nullptr, "bogomips : 0.5\n"}, kMeasured},
      {"last bogomips tiny",
       {nullptr, nullptr, "bogomips : 5000\nbogomips : 0.5\n"}, kMeasured},
      {"huge bogomips", {nullptr, nullptr, "bogomips : 1e200\n"}, kMeasured},
  });
}

TEST(RateDiscovery, UnopenableCpuinfoIsReportedAndMeasured) {
  constexpr char kLine[] = "/proc/cpuinfo: No such file or directory\n";
  CheckCases({
      {"replaces a sysfs rate", {"2500000\n", "3000000\n", nullptr},
       kMeasured, kLine},
      {"no sysfs rate either", {nullptr, nullptr, nullptr}, kMeasured, kLine},
  });
}

// Nothing is remembered between calls: a second call reads the files
// afresh, and a file without rate lines then does not keep the old rate.
TEST(RateDiscovery, EveryCallDiscoversAfresh) {
  g_true_rate = kMeasuredTicks;
  const Report r = RunInView({"2500000\n", nullptr, kCpuinfo}, [](Report* r) {
    base::InitializeSystemInfo();
    r->first_rate = base::CyclesPerSecond();
    const std::string cpu0 = kCpu0;
    if (unlink((cpu0 + "/tsc_freq_khz").c_str()) != 0 ||
        !WriteFile(cpu0 + "/fixture-cpuinfo", kNoRateCpuinfo)) {
      snprintf(r->failure, sizeof(r->failure), "rewriting the fixtures");
      return;
    }
    DiscoverScripted(r);
  });
  if (r.skip[0] != '\0') GTEST_SKIP() << r.skip;
  ASSERT_STREQ(r.failure, "");
  EXPECT_EQ(Bits(r.first_rate), Bits(2.5e9));
  CheckReport(r, kMeasured, "");
}

int64_t Ns(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// The real counter and the real sleep: with no usable rate in the files,
// init must still calibrate a clock that tells the time.
TEST(RateDiscovery, RealMeasurementCalibratesTheClock) {
  const Report r = RunInView({nullptr, nullptr, kNoRateCpuinfo}, [](Report* r) {
    g_sleep = {};
    g_nanosleep = {};
    const int64_t start = Ns(CLOCK_MONOTONIC);
    Java_com_vornix_common_unix_Varnok_init(nullptr, nullptr);
    r->init_ns = Ns(CLOCK_MONOTONIC) - start;
    const double rate = base::CyclesPerSecond();
    memcpy(&r->rate_bits, &rate, sizeof(rate));
    r->before_ns = Ns(CLOCK_REALTIME);
    r->epoch_ns = Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(nullptr,
                                                                    nullptr);
    r->after_ns = Ns(CLOCK_REALTIME);
  });
  if (r.skip[0] != '\0') GTEST_SKIP() << r.skip;
  ASSERT_STREQ(r.failure, "");
  EXPECT_GE(r.init_ns, 1000000000) << "init did not measure for a second";
  double rate;
  memcpy(&rate, &r.rate_bits, sizeof(rate));
  EXPECT_GE(rate, 1e8);
  EXPECT_LE(rate, 1e11);
  EXPECT_GE(r.epoch_ns, r.before_ns - 1000000);
  EXPECT_LE(r.epoch_ns, r.after_ns + 1000000);
}

TEST(TimingBase, RateIsOneBeforeDiscovery) {
  // This process never discovers: every case above did so in a child.
  EXPECT_EQ(Bits(base::CyclesPerSecond()), Bits(1.0));
}

class SleepTest : public ::testing::Test {
 protected:
  void Script(std::initializer_list<NanosleepStep> steps) {
    steps_.assign(steps.begin(), steps.end());
    g_nanosleep = {};
    g_nanosleep.fake = true;
    g_nanosleep.steps = steps_.data();
    g_nanosleep.nsteps = static_cast<int>(steps_.size());
  }
  void TearDown() override { g_nanosleep = {}; }

  static void ExpectRequest(int call, time_t sec, long nsec) {
    SCOPED_TRACE(call);
    EXPECT_EQ(g_nanosleep.requests[call].tv_sec, sec);
    EXPECT_EQ(g_nanosleep.requests[call].tv_nsec, nsec);
    // The remainder lands in the request itself, so a resumed call asks
    // for only what is left.
    EXPECT_EQ(static_cast<const void*>(g_nanosleep.request_ptrs[call]),
              static_cast<const void*>(g_nanosleep.remainder_ptrs[call]));
  }

  std::vector<NanosleepStep> steps_;
};

// The library's own sleep, past this program's recording definition.
void LibrarySleep(int milliseconds) {
  g_sleep = {};
  base::SleepForMilliseconds(milliseconds);
}

TEST_F(SleepTest, DurationBecomesOneRequest) {
  for (const int ms : {0, -1, INT_MIN}) {
    Script({});
    LibrarySleep(ms);
    EXPECT_EQ(g_nanosleep.calls, 0) << ms << " ms";
  }
  const struct {
    int ms;
    time_t sec;
    long nsec;
  } kCases[] = {{1, 0, 1000000},     {250, 0, 250000000}, {999, 0, 999000000},
                {1000, 1, 0},        {1500, 1, 500000000}, {3000, 3, 0},
                {INT_MAX, 2147483, 647000000}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.ms);
    Script({});
    LibrarySleep(c.ms);
    ASSERT_EQ(g_nanosleep.calls, 1);
    ExpectRequest(0, c.sec, c.nsec);
  }
}

TEST_F(SleepTest, ResumesAfterSignalsWithTheRemainder) {
  Script({{EINTR, {1, 2}}, {EINTR, {0, 777}}, {0, {0, 0}}});
  LibrarySleep(1500);
  ASSERT_EQ(g_nanosleep.calls, 3);
  ExpectRequest(0, 1, 500000000);
  ExpectRequest(1, 1, 2);
  ExpectRequest(2, 0, 777);
}

TEST_F(SleepTest, OtherFailuresEndTheSleep) {
  Script({{EINVAL, {0, 5}}});
  LibrarySleep(250);
  EXPECT_EQ(g_nanosleep.calls, 1);

  Script({{EINTR, {0, 5}}, {EFAULT, {0, 3}}});
  LibrarySleep(250);
  EXPECT_EQ(g_nanosleep.calls, 2);

  // Success ends it even when errno still says EINTR from before.
  Script({});
  errno = EINTR;
  LibrarySleep(250);
  EXPECT_EQ(g_nanosleep.calls, 1);
}

TEST(TimingBase, WallTimeIsSecondsPlusMicrosecondsOverAMillion) {
  // {1, 2220} rounds differently if the microseconds are multiplied by 1e-6.
  for (const timeval tv : {timeval{1, 2220}, timeval{1700000000, 999999},
                           timeval{1700000000, 0}}) {
    g_tod = {true, tv};
    const double wall = base::WallTime_Slow();
    g_tod = {};
    EXPECT_EQ(Bits(wall),
              Bits(static_cast<double>(tv.tv_sec) + tv.tv_usec / 1000000.0))
        << tv.tv_sec << " s " << tv.tv_usec << " us";
  }
}

TEST(TimingBase, WallTimeAgreesWithTheSystemClock) {
  timeval before, after;
  gettimeofday(&before, nullptr);
  const double wall = base::WallTime_Slow();
  gettimeofday(&after, nullptr);
  EXPECT_GE(wall, before.tv_sec + before.tv_usec / 1e6 - 0.005);
  EXPECT_LE(wall, after.tv_sec + after.tv_usec / 1e6 + 0.005);
}

TEST(TimingBase, DriftStartsAtZeroAndRoundTripsEveryFloat) {
  float drift = base::GetDrift();
  uint32_t bits;
  memcpy(&bits, &drift, sizeof(bits));
  EXPECT_EQ(bits, 0u);
  for (const uint32_t pattern :
       {0x00000000u, 0x80000000u /* -0 */, 0xbfc00000u /* -1.5 */,
        0x3a83126fu /* 0.001 */, 0x00000001u /* smallest denormal */,
        0x807fffffu /* largest negative denormal */, 0x7f800000u /* inf */,
        0xff800000u /* -inf */, 0x7f7fffffu /* max */,
        0x7fc12345u /* quiet NaN with payload */}) {
    float in;
    memcpy(&in, &pattern, sizeof(in));
    base::SetDrift(in);
    drift = base::GetDrift();
    memcpy(&bits, &drift, sizeof(bits));
    EXPECT_EQ(bits, pattern) << std::hex << pattern;
  }
}

}  // namespace
