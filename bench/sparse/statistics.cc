#include "bench/sparse/statistics.h"

#include <algorithm>
#include <cmath>

namespace sparse {

uint64_t NearestRank(const std::vector<uint64_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  // Less a hair, so that 0.9 * 10 rounding up to 9.000...02 stays rank 9.
  const double rank = std::ceil(p * static_cast<double>(sorted.size()) - 1e-9);
  const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
  return sorted[std::min(index, sorted.size() - 1)];
}

Figures Summarise(std::vector<uint64_t> ticks, double ns_per_tick) {
  std::sort(ticks.begin(), ticks.end());
  Figures f;
  f.count = ticks.size();
  const auto ns = [&](double p) {
    return static_cast<double>(NearestRank(ticks, p)) * ns_per_tick;
  };
  f.median = ns(0.5);
  f.p90 = ns(0.9);
  f.p99 = ns(0.99);
  f.max = ns(1.0);
  return f;
}

}  // namespace sparse
