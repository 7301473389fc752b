// The real library on the real counter and clock: several threads read both
// clocks at once across real cycle-epoch boundaries, where the first reads
// re-measure the drift while the others keep reading. Built under the
// thread sanitizer too, where any unsynchronised access other than the
// declared atomics fails the run.

#include <stdint.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "com_vornix_common_unix_Varnok.h"
#include "java/com/vornix/common/unix/base/cycleclock.h"
#include "java/com/vornix/common/unix/base/sysinfo.h"

namespace base = java_com_vornix_common_unix_base;

namespace {

int64_t ClockNs(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return ts.tv_sec * int64_t{1000000000} + ts.tv_nsec;
}

uint64_t CounterEpoch() {
  return static_cast<uint64_t>(base::CycleClock::Now()) >> 32;
}

TEST(RealClockStress, ThreadsReadBothClocksAcrossRealEpochs) {
  Java_com_vornix_common_unix_Varnok_init(nullptr, nullptr);
  const double rate = base::CyclesPerSecond();
  ASSERT_GE(rate, 1e8);

  // How far the discovered rate is from the counter's true one, so the bound
  // below holds on a host whose kernel files are a little off.
  const int64_t m0 = ClockNs(CLOCK_MONOTONIC_RAW);
  const int64_t c0 = base::CycleClock::Now();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const double true_rate = static_cast<double>(base::CycleClock::Now() - c0) /
                           (static_cast<double>(ClockNs(CLOCK_MONOTONIC_RAW) - m0) * 1e-9);
  const double epoch_seconds = 4294967296.0 / rate;
  // The estimate drifts by the rate error for at most an epoch and a bit
  // between re-measurements; 1 ms more covers a preempted reader.
  const int64_t tolerance_ns = static_cast<int64_t>(
      1e6 + 2 * std::fabs(true_rate / rate - 1.0) * epoch_seconds * 1e9);

  // Two boundaries at most, and never more than 20 s of reading.
  const uint64_t start_epoch = CounterEpoch();
  const int64_t deadline = ClockNs(CLOCK_MONOTONIC) + 20 * int64_t{1000000000};
  std::atomic<int64_t> reads{0}, bad{0}, not_multiple{0};
  std::atomic<int64_t> worst{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      int64_t last_relative = 0;
      while (CounterEpoch() < start_epoch + 2 &&
             ClockNs(CLOCK_MONOTONIC) < deadline) {
        const int64_t before = ClockNs(CLOCK_REALTIME);
        const int64_t epoch_ns =
            Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(nullptr, nullptr);
        const int64_t relative =
            Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(nullptr, nullptr);
        const int64_t after = ClockNs(CLOCK_REALTIME);
        // gettimeofday truncates to the microsecond.
        const int64_t error = std::max(before - 1000 - epoch_ns, epoch_ns - after);
        if (error > tolerance_ns) ++bad;
        int64_t w = worst.load();
        while (error > w && !worst.compare_exchange_weak(w, error)) {
        }
        if (epoch_ns % 256 != 0) ++not_multiple;
        if (relative <= 0 || relative < last_relative - 1000000) ++bad;
        last_relative = relative;
        ++reads;
      }
    });
  }
  for (auto& t : threads) t.join();
  const uint64_t crossed = CounterEpoch() - start_epoch;
  EXPECT_EQ(bad.load(), 0) << "worst error " << worst.load() << " ns, bound "
                           << tolerance_ns << " ns";
  EXPECT_EQ(not_multiple.load(), 0);
  EXPECT_GE(crossed, 1u);
  RecordProperty("reads", static_cast<int>(std::min<int64_t>(reads.load(), INT32_MAX)));
  RecordProperty("epochs_crossed", static_cast<int>(crossed));
}

}  // namespace
