// What a run of samples gathers, and the figures drawn from it.

#ifndef TOOLS_ACCURACY_STATISTICS_H_
#define TOOLS_ACCURACY_STATISTICS_H_

#include <stdint.h>

#include <map>
#include <vector>

#include "tools/accuracy/clocks.h"

namespace accuracy {

// Values are counted, not kept: a long run needs only one entry per distinct
// value. Errors are kept in half nanoseconds, so the middle of a bracket is
// exact.
typedef std::map<int64_t, uint64_t> Histogram;

// Nearest rank: the smallest value with at least fraction p of all values at
// or below it; 0 for an empty histogram.
int64_t Percentile(const Histogram& h, double p);
double Mean(const Histogram& h);
inline double Us(int64_t half_ns) { return static_cast<double>(half_ns) / 2000.0; }

// Clean samples averaged on each side of a boundary.
const int kStepSide = 32;

// A change of the library's drift: the first read of a new cycle epoch.
struct Step {
  double seconds;          // when, since the start
  uint64_t cycle_epoch;    // the counter's top 32 bits there
  float drift_before;
  float drift_after;
  // Errors in ns. One sample carries up to about 250 ns of rounding, so the
  // offsets on either side are means of several clean samples. The
  // re-measuring read itself returns the operating system's wall clock,
  // truncated to the microsecond, rather than the counter plus the new
  // drift: it belongs to neither side.
  double error_before;     // mean of the last clean samples before it
  double error_at;         // the re-measuring read
  double error_after;      // mean of the first clean samples after it
  int after_count;         // how many samples error_after has so far
  int64_t bracket_ns;      // the re-measuring read's bracket
  bool has_before;
  bool has_at;
};

// How far the clock's value moves at a step, in us: exactly the change of
// the drift.
double JumpUs(const Step& step);

// The step as measured, in us: the error after it minus the error before
// it, so negative where the clock went back. Needs both sides.
double StepSizeUs(const Step& step);

// Everything a run gathered.
struct Run {
  Histogram error, abs_error, bracket;  // errors in half ns
  std::vector<Step> steps;
  uint64_t samples = 0, wide = 0, rows = 0;
  uint64_t epoch_changes = 0, drift_changes = 0;
  uint64_t not_multiple_of_256 = 0, backwards = 0;
  int64_t largest_backwards = 0;  // ns, between consecutive samples
  uint64_t values_gcd = 0;
  double seconds = 0.0;           // of the last sample, since the start
  bool decimated = false;         // the CSV kept only some rows
  RelativeAndMonotonic relative_start = {}, relative_end = {};
  CounterAndClock raw_start = {}, raw_end = {};
};

// Back-to-back reads of the epoch clock.
struct Burst {
  int reads = 0;
  uint64_t changes = 0;
  int64_t smallest_step = INT64_MAX;  // ns; INT64_MAX: never moved up
};

// The steps at cycle-epoch boundaries, taken together; times in ns.
struct StepSummary {
  int at_count = 0, after_count = 0;
  double at_mean = 0.0, after_mean = 0.0, after_low = 0.0, after_high = 0.0;
  std::vector<double> sizes;  // after minus before, us, sorted
  std::vector<double> jumps;  // changes of the drift, us, sorted
};
StepSummary SummariseSteps(const std::vector<Step>& steps);

// The figures a run is judged by.
struct Figures {
  uint64_t clean = 0;
  double median_us = 0.0, p99_abs_us = 0.0, max_abs_us = 0.0;
  // The largest step back: a drift change down, or two consecutive samples
  // going back.
  double step_back_us = 0.0;
  uint64_t boundaries = 0;
  double counter_rate = 0.0;  // against CLOCK_MONOTONIC_RAW over the run
  double epoch_seconds = 0.0; // how long a cycle epoch lasts
};
Figures Summarise(const Run& run);

}  // namespace accuracy

#endif  // TOOLS_ACCURACY_STATISTICS_H_
