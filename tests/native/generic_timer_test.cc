// The counter and its rate on aarch64: CycleClock::Now reads the generic
// timer's virtual count, rate discovery takes the rate the timer states
// (opening no rate file, sleeping never, asking the kernel's clock nothing),
// and init calibrates a clock that tells the time.
//
// Under an emulator the count follows the host's clock and the stated rate
// is the emulator's own, so these cases show which registers are read and
// that the clock is right; how fast or how fine it is, they cannot show.

#include <stdint.h>
#include <string.h>
#include <time.h>

#include <utility>

#include <gtest/gtest.h>

#include "com_vornix_common_unix_Varnok.h"
#include "java/com/vornix/common/unix/base/sysinfo.h"
#include "tests/support/fake_system_files.h"
#include "tests/support/next_definition.h"
#include "tests/support/scripted_host.h"

namespace base = java_com_vornix_common_unix_base;
namespace fsf = fake_system_files;
namespace sh = scripted_host;

namespace {
int g_sleeps;
}  // namespace

namespace java_com_vornix_common_unix_base {

// The library's own counter, past this program's (scripted_host.cc's).
int64_t LibraryNow() {
  static const auto real = NextDefinition<int64_t (*)()>(
      "_ZN32java_com_vornix_common_unix_base10CycleClock3NowEv");
  return real();
}

void SleepForMilliseconds(int milliseconds) {
  ++g_sleeps;
  static const auto real = NextDefinition<void (*)(int)>(
      "_ZN32java_com_vornix_common_unix_base20SleepForMillisecondsEi");
  real(milliseconds);
}

}  // namespace java_com_vornix_common_unix_base

namespace {

// Reads kept in program order, so that one made between them lies between.
uint64_t VirtualCount() {
  uint64_t ticks;
  __asm__ __volatile__("isb\n\tmrs %0, cntvct_el0\n\tisb" : "=r"(ticks)::"memory");
  return ticks;
}

uint64_t StatedRate() {
  uint64_t hz;
  __asm__ __volatile__("mrs %0, cntfrq_el0" : "=r"(hz));
  return hz;
}

int64_t Ns(clockid_t clock) {
  timespec ts;
  clock_gettime(clock, &ts);
  return ts.tv_sec * int64_t{1000000000} + ts.tv_nsec;
}

TEST(GenericTimer, NowIsTheVirtualCountAtTheStatedRate) {
  for (int i = 0; i < 1000; ++i) {
    const uint64_t before = VirtualCount();
    const uint64_t now = static_cast<uint64_t>(base::LibraryNow());
    const uint64_t after = VirtualCount();
    ASSERT_LE(before, now) << "read " << i;
    ASSERT_LE(now, after) << "read " << i;
  }
  // Each end of an interval of CLOCK_MONOTONIC between two counter reads: the
  // ticks across it lie between the inner and outer differences, however
  // long any read took. 0.1 % covers the emulator's microsecond steps.
  const int64_t c0 = base::LibraryNow(), t0 = Ns(CLOCK_MONOTONIC);
  const int64_t c1 = base::LibraryNow();
  const timespec pause = {0, 200 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  const int64_t c2 = base::LibraryNow(), t1 = Ns(CLOCK_MONOTONIC);
  const int64_t c3 = base::LibraryNow();
  const double expected = static_cast<double>(StatedRate()) * (t1 - t0) * 1e-9;
  EXPECT_GE(expected, (c2 - c1) * 0.999);
  EXPECT_LE(expected, (c3 - c0) * 1.001);
}

TEST(GenericTimer, DiscoveryTakesTheStatedRateAndNothingElse) {
  const uint64_t hz = StatedRate();
  if (hz < 1000000 || hz > 100000000000) {
    GTEST_SKIP() << "CNTFRQ_EL0 states " << hz
                 << " Hz, which cannot calibrate a clock: discovery measures here";
  }
  // Rate files that would each give another rate are there to be read, and
  // a scripted host counts every counter and raw-clock read.
  fsf::Files files;
  for (const auto& [file, text] : {std::pair{fsf::kTscFreqKhz, "2500000\n"},
                                   {fsf::kCpuinfoMaxFreq, "3000000\n"},
                                   {fsf::kCpuinfo, "cpu MHz\t\t: 1000.000\n"}}) {
    files.present[file] = true;
    files.content[file] = text;
  }
  fsf::Serve(files);
  sh::Host host;
  host.rate_hz = 1000000000;
  sh::Start(host);
  g_sleeps = 0;
  base::InitializeSystemInfo();
  sh::Stop();
  fsf::StopServing();
  const double rate = base::CyclesPerSecond();
  const double stated = static_cast<double>(hz);
  EXPECT_EQ(memcmp(&rate, &stated, sizeof(rate)), 0) << rate << " vs " << stated;
  for (const fsf::File file : {fsf::kTscFreqKhz, fsf::kCpuinfoMaxFreq, fsf::kCpuinfo}) {
    EXPECT_EQ(fsf::OpenCalls(file), 0) << fsf::kPaths[file];
  }
  EXPECT_EQ(g_sleeps, 0);
  EXPECT_EQ(sh::CounterReads(), 0);
  EXPECT_EQ(sh::ClockReads(), 0);
}

TEST(GenericTimer, InitCalibratesAClockThatTellsTheTime) {
  Java_com_vornix_common_unix_Varnok_init(nullptr, nullptr);
  const int64_t m_start = Ns(CLOCK_MONOTONIC);
  const int64_t r0 = Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(nullptr, nullptr);
  const int64_t m0 = Ns(CLOCK_MONOTONIC);
  for (int i = 0; i < 20; ++i) {
    const int64_t before = Ns(CLOCK_REALTIME);
    const int64_t epoch = Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(nullptr, nullptr);
    const int64_t after = Ns(CLOCK_REALTIME);
    EXPECT_GE(epoch, before - 1000000) << "read " << i;
    EXPECT_LE(epoch, after + 1000000) << "read " << i;
    const timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  const int64_t m1 = Ns(CLOCK_MONOTONIC);
  const int64_t r1 = Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(nullptr, nullptr);
  const int64_t m_end = Ns(CLOCK_MONOTONIC);
  // The relative clock runs with CLOCK_MONOTONIC, bracketed as above.
  EXPECT_GE(r1 - r0, (m1 - m0) * 0.999);
  EXPECT_LE(r1 - r0, (m_end - m_start) * 1.001);
}

}  // namespace
