#include "java/com/vornix/common/unix/remeasurer.h"

#include <math.h>

#include <algorithm>
#include <new>

namespace varnok_remeasurer {
namespace kc = varnok_kernel_clock;

namespace {

// A drift past this is a step of the clock or a jump of the counter: it is
// folded into a new base rather than kept in a float, whose resolution at
// an hour (244 us) would be the clock's error from then on.
constexpr double kFoldSeconds = 1e-3;
// Undisciplined, the drift stays within gettimeofday's microsecond from
// epoch to epoch. A larger change means the counter's rate has moved.
constexpr double kRateMovedSeconds = 5e-6;
// How long a clock that measures keeps doing so once nothing steers it any
// more and nothing has moved.
constexpr double kSettleSeconds = 2.0;
// The kernel's rate is read once a window: a change of it counts only from
// the next, so a block's error grows with the change times the block. Past
// 1000 ppm from nominal (a slew through tick: chronyd's reaches 83,333 ppm)
// CLOCK_REALTIME itself serves every read instead.
constexpr double kFarRate = 1000e-6;
// Measuring, a line this far off at the end of its block, and off at this
// rate, has a wrong slope (the kernel's rate or the counter's changed
// within the window): the window's step is taken at the next re-measurement.
constexpr double kOffSeconds = 1e-6, kOffRate = 2000e-6;
// The raw clock's pairs are brackets of a few tens of nanoseconds; their
// midpoints are off by at most half a width. A change of the counter's
// rate against the raw clock beyond this and the pairs' own error is a move.
constexpr double kRateMoved = 3e-6;
// The discovered rate is wrong when the fit disagrees with it by this and
// the pairs' error: it is then replaced by the fit. Right rates (the
// kernel's own calibration, to a kHz) agree well within it.
constexpr double kWrongRate = 2e-6;
// A fitted rate is refined where the fit has moved by this: a hundredth of a
// ppm is 17 ns over a window.
constexpr double kRefined = 0.01e-6;
// CLOCK_MONOTONIC's rate over the raw clock's, measured over a step's 0.4 s
// from brackets of about 100 ns, is good to about 0.25 ppm: a measured rate
// is taken up where it moved by more than that, 100 ns over a line's 0.2 s,
// and only from brackets narrow enough to be that good.
constexpr double kMeasuredRateJitter = 0.5e-6;
// A slope that changed by more than this starts the lines' life afresh.
constexpr double kRateChanged = 5e-6;
// The least span a fit is taken over, in blocks: 13 ms at 2.6 GHz.
constexpr int kFitBlocks = 16;
// Measuring, a sparse read (one that comes two blocks or more after the
// last to leave the fast path: a log line's, a request's) would pay a pair,
// a vDSO read and as much again as the whole fast path costs with the caches
// cold, for a line that no later read uses. The line serves it instead
// through its life: between 1 and 256 blocks (0.84 ms to 0.21 s at 2.6 GHz),
// as long as the lines before it say the clock's rate is known well enough
// to keep within kLineSeconds of it, and at most twice as long as the last,
// which showed that. An error of the rate of 1 ppm lets a line live 0.2 s;
// of 20 ppm, 10 ms. A change of the kernel's rate since the last step puts
// a long line off by the change times the line's age, until the line ends
// or the step takes the change up: what a sparse read trades for costing
// what clock_gettime costs. Dense reads start the line at every block.
constexpr int kLineMaxBlocks = 256;
constexpr double kLineSeconds = 200e-9;
// A bracket of the raw clock wider than this (in ticks of 100 us /
// kWideBracket: 2 us) was interrupted and is not taken.
constexpr int64 kWideBracket = 50;
// Measuring, each pair starts a line that serves a whole block, so a pair
// that a preemption or a VM exit split would put that block off by as
// much: a pair must be tight (5 us; a good one spans well under 1 us),
// unless this many in a row were refused, so that a host whose clock reads
// are slow system calls still gets its re-measurements.
constexpr int kTightTries = 8;

// Ticks from start to end, wrapping, so that a counter that jumps cannot
// overflow the subtraction.
int64 Between(int64 start, int64 end) {
  return static_cast<int64>(static_cast<uint64_t>(end) - static_cast<uint64_t>(start));
}

}  // namespace

void Remeasurer::Start(double rate, int64 max_ticks, int long_shift, int block_shift,
                       int step_shift) {
  // Built afresh in place: an assignment from a temporary would be a memcpy
  // for clang, a symbol of glibc 2.14, above what the library may need.
  new (this) Remeasurer();
  nominal_ = 1.0 / rate;
  max_ticks_ = max_ticks;
  tight_ticks_ = static_cast<int64>(rate * 5e-6);
  long_shift_ = long_shift;
  block_shift_ = block_shift;
  step_shift_ = step_shift;
  step_now_ = true;  // init's step reads everything
}

__attribute__((hot)) bool Remeasurer::StepDue(int64 now) const {
  return static_cast<uint64_t>(now) >> step_shift_ != step_window_ || step_now_ ||
         (refit_due_ && Between(refit_at_, now) >= 0);
}

bool Remeasurer::Step(int64 now) {
  // A refit after a move needs the raw clock alone; the kernel's word is
  // read at the scheduled steps, and where a line was off.
  const bool word = static_cast<uint64_t>(now) >> step_shift_ != step_window_ || step_now_;
  step_window_ = static_cast<uint64_t>(now) >> step_shift_;
  step_now_ = false;
  if (refit_due_ && Between(refit_at_, now) >= 0) refit_due_ = false;
  kc::RawPair pair;
  const bool paired =
      kc::PairWithRawClock(&pair) && pair.width <= max_ticks_ / kWideBracket;
  if (word) ReadKernel(paired ? &pair : nullptr);
  if (paired) Fit(pair);
  if (!(fabs(kernel_rate_ - 1.0) <= kFarRate)) {
    mode_ = Mode::kKernel;
    settled_from_ = now;
  } else if (mode_ == Mode::kKernel ||
             (mode_ == Mode::kEpochs && (disciplined_ || !readable_ || moved_))) {
    mode_ = Mode::kBlocks;  // the line starts afresh at the next pair
    settled_from_ = now;
  }
  return paired;
}

void Remeasurer::Begin(int64 base) {
  step_window_ = static_cast<uint64_t>(base) >> step_shift_;
  measured_window_ = static_cast<uint64_t>(base) >> long_shift_;
  settled_from_ = base;
}

void Remeasurer::ReadKernel(const kc::RawPair* pair) {
  const kc::Discipline d = kc::ReadDiscipline();
  const bool unchanged = d.readable && readable_ && d.rate == word_rate_;
  readable_ = d.readable;
  disciplined_ = d.disciplined;  // unreadable counts as disciplined: measure
  if (d.readable) word_rate_ = d.rate;
  // CLOCK_MONOTONIC's rate over the raw clock's since the last step: freq,
  // tick and the PLL's slews alike, over a window of at least 1 ms, and
  // within what a kernel would keep.
  // The two clocks' reads of a bracket are apart by at most its width: a
  // rate over brackets wide for the span it covers is only that good.
  double measured = 0.0, skew = 0.0;
  if (pair != nullptr && anchored_) {
    const int64 raw = pair->raw_ns - last_.raw_ns, mono = pair->mono_ns - last_.mono_ns;
    const double rate = static_cast<double>(mono) / static_cast<double>(raw);
    skew = Seconds(last_.width + pair->width) * 1e9 / static_cast<double>(raw);
    if (raw >= 1000000 && fabs(rate - 1.0) <= 0.1) measured = rate;
  }
  // The word where nothing steers the clock (the rate is then exactly 1.0)
  // and where it has just changed; what was measured where it held through
  // the window, or where it cannot be read, once it differs by more than
  // the measurement's own jitter: each change starts the line afresh.
  if (d.readable && (!d.disciplined || !unchanged || measured == 0.0)) {
    kernel_rate_ = d.rate;
  } else if (measured != 0.0 &&
             fabs(measured / kernel_rate_ - 1.0) > std::max(kMeasuredRateJitter, skew)) {
    kernel_rate_ = measured;
  }
}

void Remeasurer::Fit(const kc::RawPair& pair) {
  const int64 fit_ticks = int64{kFitBlocks} << block_shift_;
  const int64 since_last = Between(last_.cycles, pair.cycles);
  if (!anchored_ || since_last <= 0) {
    // The first pair, or a counter that went back: fit from here.
    anchored_ = true;
    anchor_ = last_ = pair;
    return;
  }
  const int64 fitted = Between(anchor_.cycles, last_.cycles);
  if (fitted >= fit_ticks) {
    const double before = static_cast<double>(last_.raw_ns - anchor_.raw_ns) /
                          static_cast<double>(fitted);
    const double since = static_cast<double>(pair.raw_ns - last_.raw_ns) /
                         static_cast<double>(since_last);
    const double error =
        0.5 * (static_cast<double>(anchor_.width + last_.width) / static_cast<double>(fitted) +
               static_cast<double>(last_.width + pair.width) / static_cast<double>(since_last));
    if (!(fabs(since / before - 1.0) <= kRateMoved + 3 * error)) {
      // The counter's rate moved (a migration, a restore on another host)
      // or the counter jumped: measure, and fit afresh from here, soon.
      anchor_ = last_ = pair;
      moved_ = refit_due_ = true;
      refit_at_ = static_cast<int64>(static_cast<uint64_t>(pair.cycles) +
                                     static_cast<uint64_t>(fit_ticks));
      return;
    }
  }
  last_ = pair;
  const int64 span = Between(anchor_.cycles, pair.cycles);
  if (span < fit_ticks) return;
  const double fit =
      static_cast<double>(pair.raw_ns - anchor_.raw_ns) * 1e-9 / static_cast<double>(span);
  const double error =
      0.5 * static_cast<double>(anchor_.width + pair.width) / static_cast<double>(span);
  // Once the discovered rate has been found wrong, the fit, over an ever
  // longer span, is the rate; it is taken up where it has moved by more
  // than kRefined, so that a line is not started afresh for less.
  const double moved = fabs(fit / nominal_ - 1.0);
  if (fitted_ ? moved > kRefined : !(moved <= kWrongRate + 3 * error)) {
    nominal_ = fit;
    fitted_ = true;
  }
}

__attribute__((hot)) bool Remeasurer::LineHolds(int64 now, double line_slope,
                                                 bool sparse) const {
  if (line_slope != slope()) return false;
  if (mode_ == Mode::kEpochs) return static_cast<uint64_t>(now) >> long_shift_ == measured_window_;
  const int64 age = Between(line_from_, now);
  return sparse && mode_ == Mode::kBlocks && age >= 0 && age < line_life_;
}

__attribute__((hot)) bool Remeasurer::PairGood(int64 ticks) {
  const bool tight = measuring() && refused_ < kTightTries;
  if (ticks <= (tight ? tight_ticks_ : max_ticks_)) {
    refused_ = 0;
    return true;
  }
  if (refused_ < kTightTries) ++refused_;
  return false;
}

__attribute__((hot)) Line Remeasurer::Take(int64 now, double wall, int64 width,
                                            const Line& line) {
  const double estimate =
      line.base_wall + static_cast<double>(Between(line.base_cycles, now)) * line.slope;
  const double drift = wall - estimate;
  measured_window_ = static_cast<uint64_t>(now) >> long_shift_;
  const bool fold = !(fabs(drift) <= kFoldSeconds);
  const bool moved = fold || moved_ ||
                     (have_drift_ && mode_ == Mode::kEpochs &&
                      !(fabs(drift - last_drift_) <= kRateMovedSeconds));
  moved_ = false;
  if (mode_ == Mode::kBlocks && !fold && !refit_due_ && fabs(drift) > kOffSeconds &&
      fabs(drift) > kOffRate * Seconds(Between(line.base_cycles, now))) {
    step_now_ = true;  // at the next re-measurement
  }
  const bool reason = disciplined_ || moved || !readable_;
  if (reason) settled_from_ = now;
  const Mode was = mode_;
  const bool measuring =
      reason || (was == Mode::kBlocks && Seconds(Between(settled_from_, now)) < kSettleSeconds);
  mode_ = measuring ? Mode::kBlocks : Mode::kEpochs;
  if (!measuring && was == Mode::kEpochs && !moved && line.slope == slope()) {
    // Nothing steers the clock and nothing moved: only the drift changes.
    have_drift_ = true;
    last_drift_ = drift;
    return {line.slope, line.base_cycles, line.base_wall, static_cast<float>(drift)};
  }
  // Measuring, leaving it, or a new slope: the line starts at this pair.
  // How long it serves comes from how far the last one had gone off;
  // anything new starts it at a block.
  have_drift_ = false;
  const int64 block = int64{1} << block_shift_;
  const int64 age = Between(line.base_cycles, now);
  const double changed = fabs(slope() / line.slope - 1.0);
  if (was != Mode::kBlocks || moved || !(changed <= kRateChanged)) {
    line_life_ = block;
  } else if (changed > 0) {
    // A new slope is off by about as much as it changed, until a line that
    // lived proves it: no longer than such an error allows.
    line_life_ = std::max(block, std::min(line_life_, static_cast<int64>(kLineSeconds / changed /
                                                                          nominal_)));
  } else if (age >= 2 * block) {
    // A line that served sparse reads. What the two pairs may be off by,
    // half their widths each, is no error of the rate.
    const double off = fabs(drift) - 0.5 * Seconds(line_width_ + width);
    const double life = off > 0 ? kLineSeconds * static_cast<double>(age) / off : HUGE_VAL;
    const double longest =
        static_cast<double>(std::min(2 * age, int64{kLineMaxBlocks} << block_shift_));
    line_life_ = life >= longest ? static_cast<int64>(longest) : std::max(block, static_cast<int64>(life));
  }
  line_from_ = now;
  line_width_ = width;
  return {slope(), now, wall, 0.0f};
}

}  // namespace varnok_remeasurer
