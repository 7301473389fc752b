#include "tools/accuracy/sampling.h"

#include <string.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include "java/com/vornix/common/unix/base/walltime.h"
#include "tools/accuracy/clocks.h"

namespace accuracy {

namespace {

class Sampler {
 public:
  Sampler(const Options& options, RowSink* sink, Run* run);
  void Loop();

 private:
  Row Take() const;
  void Count(const Row& row);
  bool IsBoundary(const Row& row);
  void OpenStep(const Row& row);
  void TrackSides(const Row& row);
  void Keep(const Row& row, bool boundary);
  bool Finished(int64_t now) const;

  const Options& options_;
  RowSink* const sink_;
  Run* const run_;
  uint64_t stride_;
  int64_t start2_, end_ns_;
  Row previous_ = {};
  bool previous_written_ = true;
  // The last clean errors of the current cycle epoch, in half ns.
  int64_t recent_[kStepSide];
  int recent_count_ = 0, recent_next_ = 0;
  bool step_pending_ = false;
};

Sampler::Sampler(const Options& options, RowSink* sink, Run* run)
    : options_(options), sink_(sink), run_(run) {
  // Keep every row while the CSV stays under the row limit, else every n-th.
  const double expected = options.seconds * 1e6 /
                          static_cast<double>(std::max(options.interval_us, 1L));
  stride_ = std::max<uint64_t>(
      1, static_cast<uint64_t>(
             std::ceil(expected / static_cast<double>(options.max_rows))));
  run->decimated = stride_ > 1;
  run->raw_start = PairCounterWith(CLOCK_MONOTONIC_RAW);
  run->relative_start = PairRelativeWithMonotonic();
  start2_ = run->relative_start.monotonic2;
  end_ns_ = start2_ / 2 + static_cast<int64_t>(options.seconds * 1e9);
}

// The epoch clock between two wall-clock reads, then the relative clock
// between two monotonic reads.
Row Sampler::Take() const {
  const int64_t real_before = ClockNs(CLOCK_REALTIME);
  const int64_t epoch = EpochClock();
  const int64_t real_after = ClockNs(CLOCK_REALTIME);
  // After the epoch read, whose own counter read came no later: a new cycle
  // epoch here means that read re-measured, save when the boundary fell in
  // the few nanoseconds between the two.
  const uint64_t counter = ReadCounter();
  const float drift = java_com_vornix_common_unix_base::GetDrift();
  const int64_t mono_before = ClockNs(CLOCK_MONOTONIC);
  const int64_t relative = RelativeClock();
  const int64_t mono_after = ClockNs(CLOCK_MONOTONIC);

  Row row;
  row.seconds = static_cast<double>(mono_before + mono_after - start2_) / 2e9;
  row.epoch_ns = epoch;
  row.error2 = 2 * epoch - (real_before + real_after);
  row.bracket_ns = real_after - real_before;
  row.wide = row.bracket_ns > options_.wide_ns;
  row.drift = drift;
  row.cycle_epoch = counter >> 32;
  row.relative_minus_monotonic2 =
      2 * (relative - run_->relative_start.relative) -
      (mono_before + mono_after - start2_);
  row.monotonic_bracket_ns = mono_after - mono_before;
  return row;
}

void Sampler::Count(const Row& row) {
  Run& run = *run_;
  ++run.samples;
  run.seconds = row.seconds;
  run.values_gcd = std::gcd(run.values_gcd, static_cast<uint64_t>(row.epoch_ns));
  if (row.epoch_ns % 256 != 0) ++run.not_multiple_of_256;
  run.bracket[row.bracket_ns]++;
  if (row.wide) {
    ++run.wide;
  } else {
    run.error[row.error2]++;
    run.abs_error[row.error2 < 0 ? -row.error2 : row.error2]++;
  }
  if (run.samples > 1 && row.epoch_ns < previous_.epoch_ns) {
    ++run.backwards;
    run.largest_backwards =
        std::max(run.largest_backwards, previous_.epoch_ns - row.epoch_ns);
  }
}

// Either sign will do: the drift is a difference of two doubles near 2^31
// seconds, so it moves in steps of 2^-22 s and a re-measurement often finds
// the same value again.
bool Sampler::IsBoundary(const Row& row) {
  if (run_->samples < 2) return false;
  const bool new_epoch = row.cycle_epoch != previous_.cycle_epoch;
  const bool new_drift = memcmp(&row.drift, &previous_.drift, sizeof(float)) != 0;
  if (new_epoch) ++run_->epoch_changes;
  if (new_drift) ++run_->drift_changes;
  return new_epoch || new_drift;
}

// A step still open here closes with the samples it has.
void Sampler::OpenStep(const Row& row) {
  Step step = {};
  step.seconds = row.seconds;
  step.cycle_epoch = row.cycle_epoch;
  step.drift_before = previous_.drift;
  step.drift_after = row.drift;
  step.bracket_ns = row.bracket_ns;
  step.has_before = recent_count_ > 0;
  double sum = 0.0;
  for (int i = 0; i < recent_count_; ++i) sum += static_cast<double>(recent_[i]);
  step.error_before = recent_count_ > 0 ? sum / recent_count_ / 2.0 : 0.0;
  step.has_at = !row.wide;
  step.error_at = static_cast<double>(row.error2) / 2.0;
  run_->steps.push_back(step);
  step_pending_ = true;
  recent_count_ = 0;
  recent_next_ = 0;
}

// A clean sample that is no boundary: one of the last before the next
// boundary, and maybe one of the first after the previous one.
void Sampler::TrackSides(const Row& row) {
  recent_[recent_next_] = row.error2;
  recent_next_ = (recent_next_ + 1) % kStepSide;
  recent_count_ = std::min(recent_count_ + 1, kStepSide);
  if (!step_pending_) return;
  Step& step = run_->steps.back();
  step.error_after = (step.error_after * step.after_count +
                      static_cast<double>(row.error2) / 2.0) /
                     (step.after_count + 1);
  if (++step.after_count == kStepSide) step_pending_ = false;
}

// Every stride-th row, and both sides of every boundary.
void Sampler::Keep(const Row& row, bool boundary) {
  if (sink_ == nullptr) return;
  if (boundary && !previous_written_) {
    sink_->Write(previous_);
    ++run_->rows;
  }
  previous_written_ = boundary || (run_->samples - 1) % stride_ == 0;
  if (previous_written_) {
    sink_->Write(row);
    ++run_->rows;
  }
}

bool Sampler::Finished(int64_t now) const {
  if (now >= end_ns_) return true;
  return options_.epochs > 0 &&
         run_->epoch_changes >= static_cast<uint64_t>(options_.epochs) &&
         !step_pending_;
}

void Sampler::Loop() {
  const int64_t interval_ns = static_cast<int64_t>(options_.interval_us) * 1000;
  int64_t deadline = start2_ / 2;
  for (;;) {
    const Row row = Take();
    Count(row);
    const bool boundary = IsBoundary(row);
    if (boundary) OpenStep(row);
    if (!row.wide && !boundary) TrackSides(row);
    Keep(row, boundary);
    previous_ = row;

    const int64_t now = ClockNs(CLOCK_MONOTONIC);
    if (Finished(now)) break;
    deadline += interval_ns;
    // Behind schedule (a long preemption): count from now rather than catch
    // up with a burst of samples.
    if (deadline < now) deadline = now;
    if (interval_ns > 0) SleepUntil(std::min(deadline, end_ns_), options_.busy);
  }
  run_->relative_end = PairRelativeWithMonotonic();
  run_->raw_end = PairCounterWith(CLOCK_MONOTONIC_RAW);
}

}  // namespace

Run Sample(const Options& options, RowSink* sink) {
  Run run;
  Sampler sampler(options, sink, &run);
  sampler.Loop();
  return run;
}

Burst ReadBackToBack(int reads) {
  Burst burst;
  burst.reads = reads;
  int64_t previous = EpochClock();
  for (int i = 0; i < reads; ++i) {
    const int64_t now = EpochClock();
    if (now != previous) {
      ++burst.changes;
      if (now > previous) burst.smallest_step = std::min(burst.smallest_step, now - previous);
    }
    previous = now;
  }
  return burst;
}

}  // namespace accuracy
