#include "bench/sparse/sampling.h"

#include <errno.h>
#include <time.h>

#include <algorithm>

namespace sparse {

namespace {

void Pause(int64_t ns) {
  if (ns == 0) return;
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &ts, &ts) == EINTR) {
  }
}

}  // namespace

std::vector<int> BlockOrder(long samples, long block, std::mt19937_64* random) {
  const long blocks = (samples + block - 1) / block;
  std::vector<int> order;
  order.reserve(static_cast<size_t>(blocks) * kClockCount);
  for (int c = 0; c < kClockCount; ++c) order.insert(order.end(), blocks, c);
  std::shuffle(order.begin(), order.end(), *random);
  return order;
}

GapSamples SampleGap(int64_t gap_ns, const Options& options,
                     std::mt19937_64* random) {
  GapSamples s;
  s.gap_ns = gap_ns;
  const size_t samples = static_cast<size_t>(options.samples);
  for (auto& ticks : s.ticks) ticks.reserve(samples);
  s.achieved_gap_ticks.reserve(samples * kClockCount);

  for (const int c : BlockOrder(options.samples, options.block, random)) {
    std::vector<uint64_t>& ticks = s.ticks[c];
    const size_t reads = std::min(samples - ticks.size(),
                                  static_cast<size_t>(options.block));
    Timing (*const timed)() = kClocks[c].timed;
    Pause(gap_ns);
    uint64_t previous_end = timed().end;
    for (size_t i = 0; i < reads; ++i) {
      Pause(gap_ns);
      const Timing t = timed();
      ticks.push_back(t.end - t.start);
      s.achieved_gap_ticks.push_back(t.start - previous_end);
      previous_end = t.end;
    }
  }
  return s;
}

}  // namespace sparse
