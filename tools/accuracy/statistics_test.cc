// The figures the tool judges a run by, over samples whose answers are known.

#include "tools/accuracy/statistics.h"

#include <stdint.h>

#include <vector>

#include <gtest/gtest.h>

namespace accuracy {
namespace {

// Every value from `low` to `high` once, scaled from us to half ns.
Histogram Each(int low, int high, int64_t scale = 2000) {
  Histogram h;
  for (int v = low; v <= high; ++v) ++h[v * scale];
  return h;
}

Histogram Absolute(const Histogram& h) {
  Histogram abs;
  for (const auto& entry : h) {
    abs[entry.first < 0 ? -entry.first : entry.first] += entry.second;
  }
  return abs;
}

TEST(Statistics, PercentileIsTheNearestRank) {
  const struct {
    const char* what;
    Histogram h;
    double p;
    int64_t want;
  } cases[] = {
      {"1..100: the median", Each(1, 100, 1), 0.5, 50},
      {"1..100: p90", Each(1, 100, 1), 0.9, 90},
      {"1..100: p99", Each(1, 100, 1), 0.99, 99},
      {"1..100: p100 is the largest", Each(1, 100, 1), 1.0, 100},
      {"1..100: p0 is the smallest", Each(1, 100, 1), 0.0, 1},
      {"a repeated value counts each time", {{5, 3}, {7, 1}}, 0.75, 5},
      {"just past it, the next value", {{5, 3}, {7, 1}}, 0.76, 7},
      {"nothing: 0", {}, 0.5, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(Percentile(c.h, c.p), c.want) << c.what;
}

TEST(Statistics, SummariseGivesTheRunsFigures) {
  // The counter at 3 GHz against the raw clock over one second.
  const CounterAndClock raw_start = {1e9, 5000000000};
  const CounterAndClock raw_end = {4e9, 6000000000};
  // The drift falling by 2^-18 s, exact in a float: 3.814697265625 us back.
  const Step down = {1.0, 7, 0.0f, -1.0f / 262144, 0, 0, 0, 0, 0, false, false};
  const struct {
    const char* what;
    Histogram error;
    int64_t largest_backwards_ns;
    std::vector<Step> steps;
    double median_us, p99_abs_us, max_abs_us, step_back_us;
  } cases[] = {
      {"1..100 us, no step back", Each(1, 100), 0, {}, 50, 99, 100, 0},
      {"-50..49 us, a step back between samples", Each(-50, 49), 2500, {}, -1, 49,
       50, 2.5},
      {"a drift change down beyond the samples' step back", Each(1, 100), 2500,
       {down}, 50, 99, 100, 3.814697265625},
      {"nothing sampled", {}, 0, {}, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    accuracy::Run run;
    run.error = c.error;
    run.abs_error = Absolute(c.error);
    run.samples = 120;
    run.wide = 20;
    run.epoch_changes = 3;
    run.largest_backwards = c.largest_backwards_ns;
    run.steps = c.steps;
    run.raw_start = raw_start;
    run.raw_end = raw_end;
    const Figures f = Summarise(run);
    EXPECT_EQ(f.clean, 100u);
    EXPECT_EQ(f.median_us, c.median_us);
    EXPECT_EQ(f.p99_abs_us, c.p99_abs_us);
    EXPECT_EQ(f.max_abs_us, c.max_abs_us);
    EXPECT_EQ(f.step_back_us, c.step_back_us);
    EXPECT_EQ(f.boundaries, 3u);
    EXPECT_EQ(f.counter_rate, 3e9);
    EXPECT_DOUBLE_EQ(f.epoch_seconds, 4294967296.0 / 3e9);
  }
}

TEST(Statistics, SummariseStepsKeepsSignsAndUnits) {
  // Errors are the epoch clock minus CLOCK_REALTIME, in ns. A step's size is
  // the error after it minus the error before it, in us: negative where the
  // clock went back against CLOCK_REALTIME. A jump is the drift's change, in
  // us, with the same sign. The means and the range stay in ns.
  const float back = -1.0f / 262144;  // 3.814697265625 us, exact in a float
  const auto step = [](bool has_before, double before, bool has_at, double at,
                       int after_count, double after, float drift_before,
                       float drift_after) {
    return Step{1.0, 7, drift_before, drift_after, before, at, after,
                after_count, 900, has_before, has_at};
  };
  const struct {
    const char* what;
    std::vector<Step> steps;
    std::vector<double> sizes_us, jumps_us;
    int at_count, after_count;
    double at_mean_ns, after_mean_ns, after_low_ns, after_high_ns;
  } cases[] = {
      {"+1.5 to -0.5 us is a step of -2 us, -0.25 to +0.75 us one of +1 us",
       {step(true, 1500, true, 4000, 32, -500, 0.0f, back),
        step(true, -250, true, -2000, 32, 750, back, 0.0f)},
       {-2.0, 1.0}, {-3.814697265625, 3.814697265625}, 2, 2, 1000, 125, -500, 750},
      {"a step seen on one side only has no size",
       {step(false, 0, false, 0, 5, 300, back, back),
        step(true, 100, true, 2500, 0, 0, back, back)},
       {}, {0.0, 0.0}, 1, 1, 2500, 300, 300, 300},
      {"no steps", {}, {}, {}, 0, 0, 0, 0, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const StepSummary s = SummariseSteps(c.steps);
    EXPECT_EQ(s.sizes, c.sizes_us);
    EXPECT_EQ(s.jumps, c.jumps_us);
    EXPECT_EQ(s.at_count, c.at_count);
    EXPECT_EQ(s.at_mean, c.at_mean_ns);
    EXPECT_EQ(s.after_count, c.after_count);
    EXPECT_EQ(s.after_mean, c.after_mean_ns);
    EXPECT_EQ(s.after_low, c.after_low_ns);
    EXPECT_EQ(s.after_high, c.after_high_ns);
  }
}

}  // namespace
}  // namespace accuracy
