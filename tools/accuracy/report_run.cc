// The report's second part: how the clocks held while sampled, and the
// summary that scripts read.

#include <inttypes.h>
#include <stdio.h>

#include <algorithm>
#include <cmath>

#include "tools/accuracy/report.h"

namespace accuracy {

namespace {

void PrintRateAgainstRaw(const Host& host, const RatePath& trace,
                         const Figures& f) {
  const double ppm = Ppm(trace.library_rate, f.counter_rate);
  printf("\n== Counter rate against CLOCK_MONOTONIC_RAW\n");
  printf("measured over the run: %.0f Hz (%.6f MHz)\n", f.counter_rate,
         f.counter_rate / 1e6);
  printf("the library's rate differs by %+.3f ppm; a cycle epoch lasts %.3f s,"
         " so\nthe rate alone moves the epoch clock by up to %.3f us before "
         "each\nre-measurement.\n",
         ppm, f.epoch_seconds, std::fabs(ppm) * f.epoch_seconds);
  if (host.clocksource == "tsc") {
    printf(
        "(The kernel's clocksource is the counter itself, so CLOCK_MONOTONIC_RAW\n"
        "is this counter scaled by the kernel's own calibration: the figure\n"
        "compares the library's rate with the kernel's, not with a reference.)\n");
  }
}

void PrintError(const Options& options, const Run& run, const Figures& f) {
  printf("\n== Epoch clock minus CLOCK_REALTIME (middle of the bracket)\n");
  printf("samples: %" PRIu64 " over %.3f s; %" PRIu64 " clean, %" PRIu64
         " left out (bracket > %ld ns)\n",
         run.samples, run.seconds, f.clean, run.wide, options.wide_ns);
  printf("bracket width: median %" PRId64 " ns, p99 %" PRId64 " ns, max %" PRId64
         " ns\n",
         Percentile(run.bracket, 0.5), Percentile(run.bracket, 0.99),
         run.bracket.empty() ? 0 : run.bracket.rbegin()->first);
  if (f.clean == 0) {
    printf("error: no clean samples\n");
    return;
  }
  printf("error: median %+.3f us, mean %+.3f us\n", f.median_us,
         Mean(run.error) / 2000.0);
  printf("       p1 %+.3f us, p99 %+.3f us\n", Us(Percentile(run.error, 0.01)),
         Us(Percentile(run.error, 0.99)));
  printf("       |error| p99 %.3f us, max %.3f us\n", f.p99_abs_us, f.max_abs_us);
  printf("target: p99 |error| within 5 us: %s\n",
         f.p99_abs_us <= 5.0 ? "met" : "MISSED");
}

void PrintStepTable(const std::vector<Step>& steps) {
  printf("  %8s %6s %8s %8s %8s %8s %8s %9s %9s\n", "t (s)", "epoch",
         "before", "at", "after", "step", "jump", "read (ns)", "drift");
  for (const Step& step : steps) {
    char before[32] = "-", at[32] = "-", after[32] = "-", size[32] = "-";
    if (step.has_before) snprintf(before, sizeof(before), "%+.3f", step.error_before / 1e3);
    if (step.has_at) snprintf(at, sizeof(at), "%+.3f", step.error_at / 1e3);
    if (step.after_count > 0) snprintf(after, sizeof(after), "%+.3f", step.error_after / 1e3);
    if (step.has_before && step.after_count > 0) {
      snprintf(size, sizeof(size), "%+.3f", StepSizeUs(step));
    }
    printf("  %8.3f %6" PRIu64 " %8s %8s %8s %8s %+8.3f %9" PRId64 " %+9.3f\n",
           step.seconds, step.cycle_epoch, before, at, after, size,
           JumpUs(step), step.bracket_ns,
           static_cast<double>(step.drift_after) * 1e6);
  }
}

void PrintStepTotals(const StepSummary& s) {
  if (s.at_count > 0) {
    printf("re-measuring reads: mean error %+.3f us\n", s.at_mean / 1e3);
  }
  if (s.after_count > 0) {
    printf("offset each re-measurement leaves (after): mean %+.3f us, "
           "from %+.3f to %+.3f us\n",
           s.after_mean / 1e3, s.after_low / 1e3, s.after_high / 1e3);
  }
  if (!s.sizes.empty()) {
    const auto down = std::count_if(s.sizes.begin(), s.sizes.end(),
                                    [](double x) { return x < 0; });
    double abs_sum = 0.0;
    for (double x : s.sizes) abs_sum += std::fabs(x);
    printf("steps: %zu measured, %ld down (two reads closer than such a step"
           " can see time go back);\n"
           "       smallest %+.3f us, median %+.3f us, largest %+.3f us, "
           "mean size %.3f us\n",
           s.sizes.size(), static_cast<long>(down), s.sizes.front(),
           s.sizes[s.sizes.size() / 2], s.sizes.back(),
           abs_sum / static_cast<double>(s.sizes.size()));
  }
  if (!s.jumps.empty()) {
    printf("jumps (drift changes): from %+.3f to %+.3f us\n", s.jumps.front(),
           s.jumps.back());
  }
}

void PrintSteps(const Run& run) {
  printf("\n== Steps at cycle-epoch boundaries\n");
  printf("cycle-epoch changes seen: %" PRIu64 "; drift changes: %" PRIu64 "\n",
         run.epoch_changes, run.drift_changes);
  printf(
      "before/after: mean error of the last/first %d clean samples of the old\n"
      "and new epoch; at: the read that re-measured the drift (it returns\n"
      "gettimeofday, truncated to the microsecond); step = after - before, as\n"
      "measured; jump = the change of the library's drift, which is exactly\n"
      "how far the clock's value moves; read: the re-measuring read's\n"
      "CLOCK_REALTIME bracket. Times in us unless marked.\n", kStepSide);
  PrintStepTable(run.steps);
  PrintStepTotals(SummariseSteps(run.steps));
}

void PrintGranularity(const Run& run, const Burst& burst) {
  printf("\n== Granularity\n");
  printf("gcd of all sampled values: %" PRIu64 " ns; values not a multiple of "
         "256 ns: %" PRIu64 "\n",
         run.values_gcd, run.not_multiple_of_256);
  if (burst.smallest_step != INT64_MAX) {
    printf("back-to-back reads: %d, %" PRIu64 " changes of value, smallest "
           "step up %" PRId64 " ns\n",
           burst.reads, burst.changes, burst.smallest_step);
  }
  printf("consecutive samples going back: %" PRIu64 " (largest %" PRId64 " ns)\n",
         run.backwards, run.largest_backwards);
}

void PrintRelative(const Run& run, const Figures& f) {
  const double mono = static_cast<double>(run.relative_end.monotonic2 -
                                          run.relative_start.monotonic2) / 2.0;
  const double diff = static_cast<double>(run.relative_end.relative -
                                          run.relative_start.relative) - mono;
  printf("\n== Relative clock against CLOCK_MONOTONIC\n");
  printf("over %.3f s the relative clock advanced %+.3f us more than "
         "CLOCK_MONOTONIC (%+.3f ppm)\n",
         mono / 1e9, diff / 1e3, diff / mono * 1e6);
  printf("at that rate an epoch clock's error grows by %+.3f us per cycle epoch\n",
         diff / mono * f.epoch_seconds * 1e6);
}

const char* MachineName(Source source) {
  switch (source) {
    case Source::kTscFreqKhz: return "tsc_freq_khz";
    case Source::kMaxFreq: return "cpuinfo_max_freq";
    case Source::kMhzLine: return "cpu_mhz";
    case Source::kBogomips: return "bogomips";
    case Source::kNone: break;
  }
  return "none";
}

// Prints one requirement's verdict; true when met.
bool Verdict(const char* what, bool met, const char* measured) {
  printf("requirement: %s: %s (%s)\n", what, met ? "met" : "MISSED", measured);
  return met;
}

}  // namespace

void PrintSamplingStart(const Options& options) {
  printf("\n== Sampling\n");
  printf("sampling the epoch clock for %g s", options.seconds);
  if (options.epochs > 0) printf(" or %ld cycle-epoch boundaries", options.epochs);
  printf(", every %ld us (%s)...\n", options.interval_us,
         options.busy ? "spinning" : "sleeping");
  fflush(stdout);
}

// A daemon may change the frequency after init (temperature, a new
// estimate, chrony's slewing of an offset). The epoch clock takes a change
// up at its next re-measurement; the relative clock keeps init's factor.
void PrintFrequencySinceInit(const Host& host, const Figures& f) {
  const KernelFrequency now = ReadKernelFrequency();
  if (!host.frequency.ok || !now.ok) return;
  const double change = now.realtime_ppm - host.frequency.realtime_ppm;
  printf("\n== Kernel frequency since init\n");
  printf("CLOCK_REALTIME now runs %+.3f ppm against the raw clock: %+.3f ppm "
         "since init.\n",
         now.realtime_ppm, change);
  printf("The epoch clock takes a change up at its next re-measurement: "
         "every 2^21\nticks (%.3f ms here) while a daemon disciplines the "
         "clock. The relative clock\nkeeps init's factor: it runs %+.3f ppm "
         "off CLOCK_MONOTONIC now.\n",
         2097152.0 / f.counter_rate * 1e3, -change);
}

void PrintRun(const Options& options, const Host& host, const RatePath& trace,
              const Run& run, const Burst& burst, const Figures& figures) {
  PrintRateAgainstRaw(host, trace, figures);
  PrintError(options, run, figures);
  PrintSteps(run);
  PrintGranularity(run, burst);
  PrintRelative(run, figures);
  PrintFrequencySinceInit(host, figures);
}

bool PrintSummary(const Options& options, const Host& host,
                  const RatePath& trace, const Figures& f, int64_t init_ns) {
  printf("\n== Summary\n");
  char file_ppm[32] = "-";
  if (trace.source != Source::kNone) {
    snprintf(file_ppm, sizeof(file_ppm), "%+.3f",
             Ppm(trace.file_rate, f.counter_rate));
  }
  printf("summary: path=%s source=%s file_ppm=%s rate_ppm=%+.3f "
         "p99_abs_us=%.3f max_abs_us=%.3f step_back_us=%.3f boundaries=%" PRIu64
         " init_ms=%.3f kernel_ppm=%+.3f factor_ppm=%+.3f\n",
         PathName(trace.path), MachineName(trace.source), file_ppm,
         Ppm(trace.library_rate, f.counter_rate), f.p99_abs_us, f.max_abs_us,
         f.step_back_us, f.boundaries, init_ns / 1e6,
         host.frequency.realtime_ppm, host.clock_factor_ppm);
  bool met = true;
  char text[128];
  if (options.epochs > 0) {
    snprintf(text, sizeof(text), "%" PRIu64 " crossed", f.boundaries);
    met &= Verdict("cycle-epoch boundaries sampled",
                   f.boundaries >= static_cast<uint64_t>(options.epochs), text);
  }
  if (options.require_p99_us >= 0) {
    snprintf(text, sizeof(text), "%.3f us, limit %g us", f.p99_abs_us,
             options.require_p99_us);
    met &= Verdict("p99 |error|", f.clean > 0 && f.p99_abs_us <= options.require_p99_us, text);
  }
  if (options.require_step_back_us >= 0) {
    snprintf(text, sizeof(text), "%.3f us, limit %g us", f.step_back_us,
             options.require_step_back_us);
    met &= Verdict("largest step back", f.step_back_us <= options.require_step_back_us, text);
  }
  if (!options.require_path.empty()) {
    snprintf(text, sizeof(text), "%s, required %s", PathName(trace.path),
             options.require_path.c_str());
    met &= Verdict("rate path", options.require_path == PathName(trace.path), text);
  }
  return met;
}

}  // namespace accuracy
