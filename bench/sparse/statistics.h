// The figures of one clock's reads at one gap.

#ifndef BENCH_SPARSE_STATISTICS_H_
#define BENCH_SPARSE_STATISTICS_H_

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace sparse {

// Nearest rank: the smallest value with at least fraction p of all values at
// or below it; 0 for no values. `sorted` is in ascending order.
uint64_t NearestRank(const std::vector<uint64_t>& sorted, double p);

// In nanoseconds.
struct Figures {
  size_t count = 0;
  double median = 0, p90 = 0, p99 = 0, max = 0;
};

Figures Summarise(std::vector<uint64_t> ticks, double ns_per_tick);

}  // namespace sparse

#endif  // BENCH_SPARSE_STATISTICS_H_
