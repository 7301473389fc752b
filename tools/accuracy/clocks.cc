#include "tools/accuracy/clocks.h"

#include <errno.h>
#include <stdint.h>

#include "com_vornix_common_unix_Varnok.h"

namespace accuracy {

int64_t TimeInit() {
  const int64_t start = ClockNs(CLOCK_MONOTONIC);
  Java_com_vornix_common_unix_Varnok_init(nullptr, nullptr);
  return ClockNs(CLOCK_MONOTONIC) - start;
}

int64_t EpochClock() {
  return Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(nullptr, nullptr);
}

int64_t RelativeClock() {
  return Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(nullptr,
                                                              nullptr);
}

double ClockFactorPpm(double cycles_per_second) {
  // Of several tries the narrowest bracket: the first call also fixes the
  // factor, which takes far longer than a read.
  double counter = 0.0, relative = 0.0;
  uint64_t best_width = UINT64_MAX;
  for (int i = 0; i < 64; ++i) {
    const uint64_t before = ReadCounter();
    const int64_t value = RelativeClock();
    const uint64_t after = ReadCounter();
    if (after - before < best_width) {
      best_width = after - before;
      counter = static_cast<double>(before) +
                static_cast<double>(after - before) / 2.0;
      relative = static_cast<double>(value);
    }
  }
  return (relative / (counter / cycles_per_second * 1e9) - 1.0) * 1e6;
}

// Of several tries, the one whose counter bracket around the clock read is
// narrowest, with the counter taken at its middle: a preemption or an
// interrupt inside one try cannot move the result.
CounterAndClock PairCounterWith(clockid_t id) {
  CounterAndClock best = {0.0, 0};
  uint64_t best_width = UINT64_MAX;
  for (int i = 0; i < 64; ++i) {
    const uint64_t before = ReadCounter();
    const int64_t ns = ClockNs(id);
    const uint64_t after = ReadCounter();
    if (after - before < best_width) {
      best_width = after - before;
      best.counter = static_cast<double>(before) +
                     static_cast<double>(after - before) / 2.0;
      best.ns = ns;
    }
  }
  return best;
}

double RateBetween(const CounterAndClock& start, const CounterAndClock& end) {
  return (end.counter - start.counter) /
         (static_cast<double>(end.ns - start.ns) / 1e9);
}

double MeasureCounterRate(int64_t ns) {
  const CounterAndClock start = PairCounterWith(CLOCK_MONOTONIC_RAW);
  SleepUntil(ClockNs(CLOCK_MONOTONIC) + ns, false);
  return RateBetween(start, PairCounterWith(CLOCK_MONOTONIC_RAW));
}

RelativeAndMonotonic PairRelativeWithMonotonic() {
  RelativeAndMonotonic best = {0, 0};
  int64_t best_width = INT64_MAX;
  for (int i = 0; i < 64; ++i) {
    const int64_t before = ClockNs(CLOCK_MONOTONIC);
    const int64_t relative = RelativeClock();
    const int64_t after = ClockNs(CLOCK_MONOTONIC);
    if (after - before < best_width) {
      best_width = after - before;
      best.relative = relative;
      best.monotonic2 = before + after;
    }
  }
  return best;
}

void SleepUntil(int64_t deadline_ns, bool busy) {
  if (busy) {
    while (ClockNs(CLOCK_MONOTONIC) < deadline_ns) {
    }
    return;
  }
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(deadline_ns / 1000000000);
  ts.tv_nsec = static_cast<long>(deadline_ns % 1000000000);
  // Only a signal is worth another try; any other failure would repeat.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) ==
         EINTR) {
  }
}

}  // namespace accuracy
