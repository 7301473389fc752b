// Sampling the library's clocks: the epoch clock between two CLOCK_REALTIME
// reads, the relative clock between two CLOCK_MONOTONIC reads, and the
// steps where the library re-measures its drift (the first read of every
// span of 2^32 counter ticks).

#ifndef TOOLS_ACCURACY_SAMPLING_H_
#define TOOLS_ACCURACY_SAMPLING_H_

#include <stdint.h>

#include "tools/accuracy/options.h"
#include "tools/accuracy/statistics.h"

namespace accuracy {

// One sample. Errors are in half nanoseconds, so the middle of a bracket
// stays an integer.
struct Row {
  double seconds;   // since the start, by CLOCK_MONOTONIC
  int64_t epoch_ns;
  int64_t error2;   // epoch clock minus the middle of its REALTIME bracket
  int64_t bracket_ns;
  bool wide;        // bracket too wide to say anything about the clock
  float drift;
  uint64_t cycle_epoch;
  int64_t relative_minus_monotonic2;
  int64_t monotonic_bracket_ns;
};

// Where the kept rows of a run go.
class RowSink {
 public:
  virtual ~RowSink() {}
  virtual void Write(const Row& row) = 0;
};

// Samples for as long as the options say. Every sample is counted; rows go
// to `sink` (when not null), thinned to about --max-rows but always with
// both sides of every boundary.
Run Sample(const Options& options, RowSink* sink);

// The granularity of back-to-back reads: the smallest step the clock shows.
Burst ReadBackToBack(int reads);

}  // namespace accuracy

#endif  // TOOLS_ACCURACY_SAMPLING_H_
