// The check of a discovered rate against the kernel's raw clock, on hosts
// whose counter runs at a scripted true rate. The kernel's files are served
// by fake_system_files.cc and the raw clock by scripted_host.cc; this
// program's counter and sleep are the scripted host's, so every case is
// exact and costs no time.

#include <math.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "java/com/vornix/common/unix/base/sysinfo.h"
#include "tests/support/fake_system_files.h"
#include "tests/support/next_definition.h"
#include "tests/support/scripted_host.h"

namespace base = java_com_vornix_common_unix_base;
namespace fsf = fake_system_files;
namespace sh = scripted_host;

namespace {
std::vector<int> g_sleeps_ms;
}  // namespace

namespace java_com_vornix_common_unix_base {

void SleepForMilliseconds(int milliseconds) {
  g_sleeps_ms.push_back(milliseconds);
  sh::Sleep(int64_t{milliseconds} * 1000000);
}

}  // namespace java_com_vornix_common_unix_base

namespace {

// The counter of the bare-metal reports: 2596.1 MHz.
constexpr int64_t kTrueRate = 2596100000;
constexpr double kTruth = -1.0;  // the rate must be the host's, within 1 ppm

struct Case {
  const char* what;
  const char* tsc_freq_khz;      // nullptr: absent
  const char* cpuinfo_max_freq;  // nullptr: absent
  const char* cpuinfo;           // nullptr: cannot be opened
  double want;                   // bit for bit, or kTruth
  sh::Host host;
  bool measures = false;  // across the one-second sleep, first
};

sh::Host Typical() {
  sh::Host host;
  host.rate_hz = kTrueRate;
  host.counter_read_ns = 11;
  host.clock_read_ns = 23;
  return host;
}

sh::Host With(sh::Host host, void (*change)(sh::Host*)) {
  change(&host);
  return host;
}

struct Outcome {
  double rate;
  std::string printed;
  std::vector<int> sleeps_ms;
  int clock_reads;
  int64_t virtual_ns;
};

Outcome Discover(const Case& c) {
  fsf::Files files;
  const char* const texts[] = {c.tsc_freq_khz, c.cpuinfo_max_freq, c.cpuinfo};
  for (int i = 0; i < fsf::kFileCount; ++i) {
    files.present[i] = texts[i] != nullptr;
    if (texts[i] != nullptr) files.content[i] = texts[i];
  }
  fsf::Serve(files);
  g_sleeps_ms.clear();
  sh::Start(c.host);
  testing::internal::CaptureStderr();
  base::InitializeSystemInfo();
  Outcome out{base::CyclesPerSecond(), testing::internal::GetCapturedStderr(),
              g_sleeps_ms, sh::ClockReads(), sh::VirtualNs()};
  sh::Stop();
  fsf::StopServing();
  return out;
}

uint64_t Bits(double d) {
  uint64_t bits;
  memcpy(&bits, &d, sizeof(bits));
  return bits;
}

void Check(const Case& c) {
  SCOPED_TRACE(c.what);
  const Outcome out = Discover(c);
  if (c.want == kTruth) {
    EXPECT_NEAR(out.rate / kTrueRate - 1, 0, 1e-6) << out.rate;
  } else {
    EXPECT_EQ(Bits(out.rate), Bits(c.want)) << out.rate;
  }
  EXPECT_EQ(out.printed, c.cpuinfo == nullptr
                            ? "/proc/cpuinfo: No such file or directory\n"
                            : "");
  EXPECT_EQ(!out.sleeps_ms.empty() && out.sleeps_ms.front() == 1000,
            c.measures);
  if (c.tsc_freq_khz != nullptr && !c.measures) {
    // The kernel's own calibration costs nothing more.
    EXPECT_EQ(out.clock_reads, 0);
    EXPECT_EQ(out.sleeps_ms, std::vector<int>{});
  } else {
    EXPECT_GT(out.clock_reads, 0);
  }
  if (!c.measures) {
    EXPECT_LE(out.virtual_ns, 25000000) << "the check's cost";
  }
}

TEST(RateCheck, RightFilesAreKeptAndWrongOnesReplaced) {
  const sh::Host host = Typical();
  const Case cases[] = {
      {"a VM: cpu MHz is the counter's rate", nullptr, nullptr,
       "cpu MHz\t\t: 2596.100\n", 2596.100 * 1000000, host},
      {"a few ppm off", nullptr, nullptr, "cpu MHz : 2596.105\n",
       2596.105 * 1000000, host},
      {"49.7 ppm off", nullptr, nullptr, "cpu MHz : 2596.229\n",
       2596.229 * 1000000, host},
      {"50.5 ppm off", nullptr, nullptr, "cpu MHz : 2596.231\n", kTruth, host},
      {"a right cpuinfo_max_freq", nullptr, "2596100\n", "", 2596100 * 1000.0,
       host},
      {"turbo ceiling", nullptr, "3900000\n", "cpu MHz : 2596.100\n", kTruth,
       host},
      {"nominal + 1 MHz", nullptr, "2597100\n", "", kTruth, host},
      {"an idle core's MHz, no cpufreq", nullptr, nullptr,
       "cpu MHz\t\t: 1400.000\n", kTruth, host},
      {"bogomips only, twice the MHz", nullptr, nullptr,
       "bogomips\t: 5192.20\n", kTruth, host},
      {"tsc_freq_khz is taken unchecked", "2600000\n", "3900000\n",
       "cpu MHz : 1400\n", 2.6e9, host},
  };
  for (const Case& c : cases) Check(c);
}

TEST(RateCheck, MeasurementsAreCheckedToo) {
  // A sleep overshoots, so the one-second measurement reads high.
  const Case cases[] = {
      {"cpuinfo cannot be opened", "2600000\n", nullptr, nullptr, kTruth,
       With(Typical(), [](sh::Host* h) { h->sleep_extra_ns = 160000; }), true},
      {"no usable rate in the files", nullptr, "0\n", "cpu MHz : 0\n", kTruth,
       With(Typical(), [](sh::Host* h) { h->sleep_extra_ns = 160000; }), true},
  };
  for (const Case& c : cases) Check(c);
}

TEST(RateCheck, PreemptedOrSlowPairsAreNotTaken) {
  // The start and end pairings take 16 brackets each, two counter reads a
  // bracket: reads 0-31 at the start, 32-63 at the end. A late second read
  // widens its bracket and moves its middle off the clock's reading. Each
  // end is disturbed on its own, so that no error cancels out.
  const Case cases[] = {
      {"preempted at the start only", nullptr, "3900000\n", "", kTruth,
       With(Typical(), [](sh::Host* h) {
         h->counter_late_ns = [](int read) -> int64_t {
           return read == 1 ? 500000 : read == 5 ? 120000 : 0;
         };
       })},
      {"preempted at the end only", nullptr, "3900000\n", "", kTruth,
       With(Typical(), [](sh::Host* h) {
         h->counter_late_ns = [](int read) -> int64_t {
           return read == 33 ? 300000 : read == 63 ? 40000 : 0;
         };
       })},
      {"preempted at both ends, by different amounts", nullptr, "3900000\n",
       "", kTruth, With(Typical(), [](sh::Host* h) {
         h->counter_late_ns = [](int read) -> int64_t {
           return read == 3 ? 500000 : read == 31 ? 70000 : read == 45 ? 9000 : 0;
         };
       })},
      // Every bracket after the sleep is 2 us wider, evenly about the
      // clock's reading: only its middle is right at both ends.
      {"the raw clock reads slower after the sleep", nullptr, "3900000\n", "",
       kTruth, With(Typical(), [](sh::Host* h) {
         h->clock_slow_ns = [](int) -> int64_t {
           return sh::Sleeps() > 0 ? 2000 : 0;
         };
       })},
  };
  for (const Case& c : cases) Check(c);
}

TEST(RateCheck, WithoutAnAnswerTheFilesRateStays) {
  const Case cases[] = {
      {"the raw clock fails", nullptr, "3900000\n", "", 3.9e9,
       With(Typical(), [](sh::Host* h) { h->clock_errno = EINVAL; })},
      {"the sleep is cut short", nullptr, "3900000\n", "", 3.9e9,
       With(Typical(), [](sh::Host* h) { h->sleep_extra_ns = -20000000; })},
      {"the counter stands still", nullptr, "3900000\n", "", 3.9e9,
       With(Typical(), [](sh::Host* h) { h->rate_hz = 0; })},
  };
  for (const Case& c : cases) Check(c);
}

}  // namespace
