// The parts of sparse_benchmark whose mistakes would not show in its
// output: the gaps it was asked for, the percentiles it reports, and how
// many reads of each clock its blocks take.

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "bench/sparse/options.h"
#include "bench/sparse/sampling.h"
#include "bench/sparse/statistics.h"

namespace sparse {
namespace {

TEST(SparseOptions, DurationsTakeTheirUnits) {
  int64_t ns = -1;
  EXPECT_TRUE(ParseDuration("0", &ns));
  EXPECT_EQ(ns, 0);
  EXPECT_TRUE(ParseDuration("100us", &ns));
  EXPECT_EQ(ns, 100000);
  EXPECT_TRUE(ParseDuration("2ms", &ns));
  EXPECT_EQ(ns, 2000000);
  EXPECT_TRUE(ParseDuration("1.5s", &ns));
  EXPECT_EQ(ns, 1500000000);
  EXPECT_TRUE(ParseDuration("250ns", &ns));
  EXPECT_EQ(ns, 250);
  // A bare number would be a guess at the unit.
  for (const char* bad : {"100", "", "ms", "-1ms", "2 ms", "2mss", "61s"}) {
    EXPECT_FALSE(ParseDuration(bad, &ns)) << bad;
  }
  std::vector<int64_t> gaps;
  EXPECT_TRUE(ParseGaps("0,100us,2ms", &gaps));
  EXPECT_EQ(gaps, (std::vector<int64_t>{0, 100000, 2000000}));
  EXPECT_FALSE(ParseGaps("0,,2ms", &gaps));
  EXPECT_FALSE(ParseGaps("0,100", &gaps));
}

TEST(SparseStatistics, PercentilesAreNearestRank) {
  std::vector<uint64_t> hundred;
  for (uint64_t v = 1; v <= 100; ++v) hundred.push_back(v);
  EXPECT_EQ(NearestRank(hundred, 0.5), 50u);
  EXPECT_EQ(NearestRank(hundred, 0.99), 99u);
  EXPECT_EQ(NearestRank(hundred, 1.0), 100u);
  const std::vector<uint64_t> ten = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(NearestRank(ten, 0.9), 9u);
  EXPECT_EQ(NearestRank(ten, 0.99), 10u);
  EXPECT_EQ(NearestRank({7}, 0.5), 7u);
  EXPECT_EQ(NearestRank({}, 0.5), 0u);
  // Unsorted input is sorted first.
  const Figures f = Summarise({30, 10, 20, 40}, 0.5);
  EXPECT_EQ(f.count, 4u);
  EXPECT_DOUBLE_EQ(f.median, 10.0);
  EXPECT_DOUBLE_EQ(f.max, 20.0);
}

TEST(SparseSampling, EveryClockGetsItsBlocksInShuffledOrder) {
  std::mt19937_64 random(1);
  // 25 reads in blocks of 10: two full blocks and a short one per clock.
  const std::vector<int> order = BlockOrder(25, 10, &random);
  ASSERT_EQ(order.size(), 3u * kClockCount);
  int count[kClockCount] = {};
  for (const int c : order) {
    ASSERT_GE(c, 0);
    ASSERT_LT(c, kClockCount);
    ++count[c];
  }
  for (const int n : count) EXPECT_EQ(n, 3);
  std::vector<int> sorted = order;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_NE(order, sorted);
  std::mt19937_64 same(1);
  EXPECT_EQ(BlockOrder(25, 10, &same), order);
}

}  // namespace
}  // namespace sparse
