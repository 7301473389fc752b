// varnok_accuracy: how well the library's clocks hold on this host.
//
// First it reports what the epoch clock stands on here: the kernel files the
// library could take the counter's rate from, the path the rate took (taken
// as it is, kept or replaced after the library's check against
// CLOCK_MONOTONIC_RAW, or measured), the counter's invariance flags and the
// kernel's clocksource. Then it samples the epoch clock between two
// CLOCK_REALTIME reads and reports the error, the steps where the library
// re-measures its drift, the granularity of the results and how far the
// relative clock moves away from CLOCK_MONOTONIC. It writes the samples and
// a plot of them only when asked, and can hold a run to requirements
// through its exit status.

#include <stdio.h>
#include <sys/prctl.h>

#include "java/com/vornix/common/unix/base/sysinfo.h"
#include "tools/accuracy/clocks.h"
#include "tools/accuracy/host.h"
#include "tools/accuracy/options.h"
#include "tools/accuracy/output.h"
#include "tools/accuracy/rate_path.h"
#include "tools/accuracy/report.h"
#include "tools/accuracy/sampling.h"
#include "tools/accuracy/statistics.h"

using namespace accuracy;

int main(int argc, char** argv) {
  Options options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed != kProceed) return parsed;
  if (options.measure_rate) {
    printf("counter_hz=%.1f\n", MeasureCounterRate(500000000));
    return 0;
  }
  // A short pause between samples should last about as long as asked.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
  Output output(options);
  if (!output.Open()) return 1;

  const int64_t init_ns = TimeInit();
  Host host = ExamineHost();
  host.clock_factor_ppm = ClockFactorPpm(
      java_com_vornix_common_unix_base::CyclesPerSecond());
  const RatePath trace =
      TraceRatePath(host, java_com_vornix_common_unix_base::CyclesPerSecond(),
                    MeasureCounterRate(200000000));
  PrintHost(host, trace, init_ns);

  const Burst burst = ReadBackToBack(200000);
  PrintSamplingStart(options);
  const Run run = Sample(options, output.sink());
  const Figures figures = Summarise(run);
  PrintRun(options, host, trace, run, burst, figures);

  const bool written = output.Finish(host, run, figures);
  const bool met = PrintSummary(options, host, trace, figures, init_ns);
  if (!written || figures.clean == 0) return 1;
  return met ? 0 : 3;
}
