// The report: what the host offers the clock, the path the counter's rate
// took, how the clocks held while sampled, and a one-line summary with the
// verdict on what was required.

#ifndef TOOLS_ACCURACY_REPORT_H_
#define TOOLS_ACCURACY_REPORT_H_

#include <stdint.h>

#include "tools/accuracy/host.h"
#include "tools/accuracy/options.h"
#include "tools/accuracy/rate_path.h"
#include "tools/accuracy/statistics.h"

namespace accuracy {

// Before sampling: the host, the rate's path, the counter's invariance.
void PrintHost(const Host& host, const RatePath& trace, int64_t init_ns);

// What is about to be sampled, and for how long.
void PrintSamplingStart(const Options& options);

// After sampling, one section each.
void PrintRun(const Options& options, const Host& host, const RatePath& trace,
              const Run& run, const Burst& burst, const Figures& figures);

// "summary: key=value ..." for scripts, then each requirement of the
// options with its verdict. False when one was missed.
bool PrintSummary(const Options& options, const Host& host,
                  const RatePath& trace, const Figures& figures,
                  int64_t init_ns);

}  // namespace accuracy

#endif  // TOOLS_ACCURACY_REPORT_H_
