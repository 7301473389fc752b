#include "tools/accuracy/statistics.h"

#include <algorithm>
#include <cmath>

namespace accuracy {

namespace {

uint64_t Total(const Histogram& h) {
  uint64_t n = 0;
  for (const auto& entry : h) n += entry.second;
  return n;
}

}  // namespace

int64_t Percentile(const Histogram& h, double p) {
  const uint64_t n = Total(h);
  if (n == 0) return 0;
  uint64_t rank = static_cast<uint64_t>(std::ceil(p * static_cast<double>(n)));
  if (rank < 1) rank = 1;
  uint64_t seen = 0;
  for (const auto& entry : h) {
    seen += entry.second;
    if (seen >= rank) return entry.first;
  }
  return h.rbegin()->first;
}

double Mean(const Histogram& h) {
  const uint64_t n = Total(h);
  if (n == 0) return 0.0;
  double sum = 0.0;
  for (const auto& entry : h) {
    sum += static_cast<double>(entry.first) * static_cast<double>(entry.second);
  }
  return sum / static_cast<double>(n);
}

double JumpUs(const Step& step) {
  return (static_cast<double>(step.drift_after) -
          static_cast<double>(step.drift_before)) * 1e6;
}

double StepSizeUs(const Step& step) {
  return (step.error_after - step.error_before) / 1e3;
}

StepSummary SummariseSteps(const std::vector<Step>& steps) {
  StepSummary s;
  for (const Step& step : steps) {
    s.jumps.push_back(JumpUs(step));
    if (step.has_at) {
      s.at_mean += (step.error_at - s.at_mean) / ++s.at_count;
    }
    if (step.after_count > 0) {
      const bool first = s.after_count == 0;
      s.after_low = first ? step.error_after : std::min(s.after_low, step.error_after);
      s.after_high = first ? step.error_after : std::max(s.after_high, step.error_after);
      s.after_mean += (step.error_after - s.after_mean) / ++s.after_count;
    }
    if (step.has_before && step.after_count > 0) {
      s.sizes.push_back(StepSizeUs(step));
    }
  }
  std::sort(s.sizes.begin(), s.sizes.end());
  std::sort(s.jumps.begin(), s.jumps.end());
  return s;
}

Figures Summarise(const Run& run) {
  Figures f;
  f.clean = run.samples - run.wide;
  f.median_us = Us(Percentile(run.error, 0.5));
  f.p99_abs_us = Us(Percentile(run.abs_error, 0.99));
  f.max_abs_us = run.abs_error.empty() ? 0.0 : Us(run.abs_error.rbegin()->first);
  f.step_back_us = static_cast<double>(run.largest_backwards) / 1e3;
  for (const Step& step : run.steps) {
    f.step_back_us = std::max(f.step_back_us, -JumpUs(step));
  }
  f.boundaries = run.epoch_changes;
  f.counter_rate = RateBetween(run.raw_start, run.raw_end);
  f.epoch_seconds = 4294967296.0 / f.counter_rate;
  return f;
}

}  // namespace accuracy
