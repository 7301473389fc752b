// What the thread that holds the block's word decides when it re-measures:
// how readers are served from then on, the epoch clock's line, and the rate
// of the interval clock. Only that thread calls it, so its state needs no
// synchronisation of its own. Internal to the library.
//
// Three ways to serve a read:
//  - epochs: nothing steers the kernel's clock; the line holds for a whole
//    window (a cycle epoch on x86-64) and a re-measurement only replaces
//    the drift against gettimeofday;
//  - blocks: a daemon steers the clock, or something moved; the first read
//    of every block (about a millisecond) starts the line afresh at a pair
//    read against CLOCK_REALTIME, but for sparse reads, which the line
//    serves through its life: from a block where its rate is in doubt, to a
//    fifth of a second where lines keep to the clock;
//  - kernel: the kernel's clock runs far from its nominal rate (a daemon
//    slewing fast through tick); every read is CLOCK_REALTIME itself,
//    which then costs no more than what it replaces.
//
// The slope in every case is the counter's rate against the kernel's raw
// clock times the kernel's own rate over it (1 + f). The first is the
// discovered rate until a fit against CLOCK_MONOTONIC_RAW shows it wrong,
// or shows the counter's rate moved. The second is read from adjtimex once
// a window (freq and tick) where that changed, and otherwise measured, as
// CLOCK_MONOTONIC's rate over the raw clock's in the last window, which
// shows the PLL's slews too.

#ifndef JAVA_COM_VORNIX_COMMON_UNIX_REMEASURER_H_
#define JAVA_COM_VORNIX_COMMON_UNIX_REMEASURER_H_

#include <stdint.h>

#include "java/com/vornix/common/unix/base/cycleclock.h"
#include "java/com/vornix/common/unix/kernel_clock.h"

namespace varnok_remeasurer {

using java_com_vornix_common_unix_base::int64;

enum class Mode { kEpochs, kBlocks, kKernel };

// The epoch clock at a count: base_wall + (count - base_cycles) * slope +
// drift, every step rounded on its own.
struct Line {
  double slope;
  int64 base_cycles;
  double base_wall;
  float drift;
};

class Remeasurer {
 public:
  // For init: forgets everything it knew.
  // max_ticks is the tolerance of any pair, the ticks of 100 us; the shifts
  // give the window, the block and the step's period.
  void Start(double rate, int64 max_ticks, int long_shift, int block_shift, int step_shift);

  // Whether this count calls for the step: the kernel's word, the raw
  // clock's pair and what they decide. Four times a window (about every
  // half second), and soon after the counter's rate moved.
  bool StepDue(int64 now) const;
  // True where it read the raw clock: the time that took splits any pair
  // begun before it.
  bool Step(int64 now);
  // For init, after its first step and its base pair: the window is the
  // base's.
  void Begin(int64 base);

  // Whether the line, with this slope, holds for the count as it is: where
  // nothing steers the clock, through the window of the last pair taken;
  // where it measures, for a sparse read (two blocks or more after the last
  // to leave the fast path), through the line's life, which grows while
  // lines keep to the clock. A dense read re-measures at every block.
  bool LineHolds(int64 now, double line_slope, bool sparse) const;

  // Whether a pair that spans these ticks may be taken. Counts the pairs
  // refused, so that a host whose clock reads are always slow still gets
  // its re-measurement, at the looser tolerance, after a few.
  bool PairGood(int64 ticks);
  // Takes the good pair (now, wall), whose counter reads were width ticks
  // apart: returns the line from here on.
  Line Take(int64 now, double wall, int64 width, const Line& line);

  Mode mode() const { return mode_; }
  bool measuring() const { return mode_ != Mode::kEpochs; }
  // The line's slope, seconds per tick; the interval clock's is this in
  // nanoseconds.
  double slope() const { return nominal_ * kernel_rate_; }
  // The step's period of the last step: while the kernel serves, and for
  // the interval clock, readers check it.
  uint64_t step_window() const { return step_window_; }

 private:
  void ReadKernel(const varnok_kernel_clock::RawPair* pair);
  void Fit(const varnok_kernel_clock::RawPair& pair);
  double Seconds(int64 ticks) const { return static_cast<double>(ticks) * nominal_; }

  // The counter.
  double nominal_ = 0.0;  // seconds of the raw clock per tick, in use
  bool fitted_ = false;   // nominal_ is the fit, not the discovered rate
  int long_shift_ = 32, block_shift_ = 21, step_shift_ = 30;
  int64 max_ticks_ = 0, tight_ticks_ = 0;  // 100 us and 5 us
  int refused_ = 0;                        // pairs refused in a row

  // The kernel: the rate in use, and the word's rate at the last step.
  bool readable_ = false, disciplined_ = true;
  double kernel_rate_ = 1.0, word_rate_ = 0.0;

  // The fit of the raw clock against the counter: since the anchor, and
  // the pair of the last step. Widths in ticks bound each pair's error.
  bool anchored_ = false;
  varnok_kernel_clock::RawPair anchor_{}, last_{};
  bool moved_ = false;      // the counter's rate moved: measure
  bool refit_due_ = false;  // a step soon after the move, to fit afresh
  int64 refit_at_ = 0;
  bool step_now_ = false;   // the line was off: the step at the next pair

  // The way reads are served.
  Mode mode_ = Mode::kEpochs;
  uint64_t step_window_ = 0, measured_window_ = 0;
  int64 settled_from_ = 0;  // counter at which measuring last had a reason
  bool have_drift_ = false;
  double last_drift_ = 0.0;
  // Measuring: the count of the line's pair, its width, and how long the
  // line serves sparse reads, from how far off the lines before it ended.
  int64 line_from_ = 0, line_width_ = 0, line_life_ = 0;
};

}  // namespace varnok_remeasurer

#endif  // JAVA_COM_VORNIX_COMMON_UNIX_REMEASURER_H_
