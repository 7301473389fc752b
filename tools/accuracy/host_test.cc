// The kernel's frequency correction as the host report gives it, from known
// answers of adjtimex.

#include "tools/accuracy/host.h"

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

}  // namespace
}  // namespace accuracy
