// What sparse_benchmark prints: the machine and the kernel's clock, each
// gap's figures, and a summary table in markdown; or CSV.

#ifndef BENCH_SPARSE_REPORT_H_
#define BENCH_SPARSE_REPORT_H_

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "bench/sparse/clocks.h"
#include "bench/sparse/options.h"
#include "bench/sparse/sampling.h"
#include "bench/sparse/statistics.h"
#include "tools/accuracy/host.h"

namespace sparse {

struct Machine {
  accuracy::Host host;  // its frequency: the kernel's clock at the start
  long cpus = 0;
  double counter_hz = 0;  // the library's rate, after init
  std::string library;    // the file the library was loaded from
  std::string load;       // the load average at the start
};

// After init, which the rate comes from.
Machine DescribeMachine();

// Whether the kernel steers CLOCK_REALTIME, by the library's own test: a
// daemon's status bits, or a frequency or tick other than nominal.
bool Disciplined(const accuracy::KernelFrequency& k);

struct GapResult {
  int64_t gap_ns = 0;
  double achieved_gap_ns = 0;  // median
  Figures clocks[kClockCount];
};

GapResult SummariseGap(const GapSamples& samples, double ns_per_tick);

void PrintHeader(FILE* out, const Options& options, const Machine& machine);
void PrintGap(FILE* out, const GapResult& gap);
void PrintSummary(FILE* out, const Machine& machine,
                  const std::vector<GapResult>& gaps);
void PrintCsv(FILE* out, const Machine& machine,
              const std::vector<GapResult>& gaps);
// A warning when the kernel's clock is not as it was at the start: the
// figures then mix two states.
void PrintKernelChange(FILE* out, const accuracy::KernelFrequency& before,
                       const accuracy::KernelFrequency& after);

}  // namespace sparse

#endif  // BENCH_SPARSE_REPORT_H_
