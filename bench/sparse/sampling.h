// Reading the clocks one call at a time, each read after a pause.

#ifndef BENCH_SPARSE_SAMPLING_H_
#define BENCH_SPARSE_SAMPLING_H_

#include <stdint.h>

#include <random>
#include <vector>

#include "bench/sparse/clocks.h"
#include "bench/sparse/options.h"

namespace sparse {

// What one gap's reads took, in counter ticks.
struct GapSamples {
  int64_t gap_ns = 0;
  std::vector<uint64_t> ticks[kClockCount];  // one per recorded call
  // From the end of one call to the start of the next: the gap it had.
  std::vector<uint64_t> achieved_gap_ticks;
};

// The order of the blocks: a clock index per block, each clock as often as
// `samples` reads in blocks of `block` need (its last block may be short),
// shuffled.
std::vector<int> BlockOrder(long samples, long block, std::mt19937_64* random);

// Reads every clock `options.samples` times, each read `gap_ns` after the
// previous one ended, in blocks of one clock in the order BlockOrder gives.
// A block's first read is not recorded: it follows the other clock's block,
// so it is the first read of its own clock for longer than the gap.
GapSamples SampleGap(int64_t gap_ns, const Options& options,
                     std::mt19937_64* random);

}  // namespace sparse

#endif  // BENCH_SPARSE_SAMPLING_H_
