// The kernel's frequency correction as the host report gives it, from known
// answers of adjtimex, and the tool's verdict on the counter from known
// kernel files.

#include "tools/accuracy/host.h"

#include <errno.h>
#include <sys/timex.h>

#include <gtest/gtest.h>

namespace accuracy {
namespace {

TEST(Host, KernelFrequencyFromAdjtimex) {
  // adjtimex's freq is in ppm with a 16-bit fraction, its tick in us per
  // USER_HZ tick (100 a second, 10000 us nominal). CLOCK_REALTIME runs
  // against the raw clock by the tick's excess over a second, in ppm, plus
  // freq: positive is faster.
  const struct {
    const char* what;
    int state;
    long freq, tick;
    int status;
    double freq_ppm, realtime_ppm;
    bool synchronised;
  } cases[] = {
      {"freq +30 ppm", TIME_OK, 30 * 65536, 10000, STA_PLL, 30, 30, true},
      {"freq -30 ppm", TIME_OK, -30 * 65536, 10000, STA_PLL, -30, -30, true},
      {"a tick 1 us long is +100 ppm, freq -12.5 ppm", TIME_OK, -819200, 10001,
       STA_PLL, -12.5, 87.5, true},
      {"a tick 1 us short is -100 ppm, freq +12.5 ppm", TIME_OK, 819200, 9999,
       STA_PLL, 12.5, -87.5, true},
      {"STA_UNSYNC: not synchronised", TIME_OK, 0, 10000, STA_UNSYNC, 0, 0, false},
      {"TIME_ERROR: not synchronised", TIME_ERROR, 65536, 10000, 0, 1, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    struct timex tx = {};
    tx.freq = c.freq;
    tx.tick = c.tick;
    tx.status = c.status;
    const KernelFrequency k = KernelFrequencyFrom(c.state, tx, 100);
    EXPECT_TRUE(k.ok);
    EXPECT_EQ(k.freq_ppm, c.freq_ppm);
    EXPECT_EQ(k.tick_us, c.tick);
    EXPECT_EQ(k.nominal_tick_us, 10000);
    EXPECT_EQ(k.status, c.status);
    EXPECT_EQ(k.synchronised, c.synchronised);
    EXPECT_EQ(k.realtime_ppm, c.realtime_ppm);
  }
}

// The same rules as VarnokTime's (counter_trust.sh runs both on the same
// fixtures): a clocksource named exactly, not a name that holds it; and a
// /proc/cpuinfo that cannot be read is said to be so, not taken as flags
// that are missing.
TEST(Host, CounterDistrust) {
#if defined(__x86_64__)
  const std::string cs = "/sys/devices/system/clocksource/clocksource0/available_clocksource";
  const struct {
    const char* what;
    const char* clocksources;  // null: the file cannot be read
    bool cpuinfo, constant_tsc, nonstop_tsc;
    std::string distrust;
  } cases[] = {
      {"trusted", "tsc kvm-clock\n", true, true, true, ""},
      {"a Hyper-V guest's list", "hyperv_clocksource_tsc_page hpet\n", true, true, true,
       "tsc is not in " + cs + ", which lists hyperv_clocksource_tsc_page hpet"},
      {"no clocksource file", nullptr, true, true, true,
       cs + " could not be read (No such file or directory)"},
      {"no /proc/cpuinfo", "tsc\n", false, false, false,
       "/proc/cpuinfo could not be read (Permission denied)"},
      {"no constant_tsc", "tsc\n", true, false, true, "the flags in /proc/cpuinfo lack constant_tsc"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Host host;
    host.clocksources.present = c.clocksources != nullptr;
    host.clocksources.text = c.clocksources ? c.clocksources : "";
    host.clocksources.error = c.clocksources ? 0 : ENOENT;
    host.cpuinfo = c.cpuinfo;
    host.cpuinfo_error = c.cpuinfo ? 0 : EACCES;
    host.constant_tsc = c.constant_tsc;
    host.nonstop_tsc = c.nonstop_tsc;
    EXPECT_EQ(CounterDistrust(host), c.distrust);
  }
#else
  GTEST_SKIP() << "x86-64's rules: the tool is built for this machine";
#endif
}

}  // namespace
}  // namespace accuracy
