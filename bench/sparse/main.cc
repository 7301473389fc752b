// sparse_benchmark: what one clock reading costs when reads are far apart.
//
// A loop of reads keeps the caches, the branch predictors and the clock's
// own state warm; an application that takes a time stamp every 100 us or
// every few milliseconds finds them cold, and the epoch clock may have
// re-measuring to do on such a read. So each read here follows a pause (a
// sleep, so the processor may idle as it does between an application's
// events) and is timed alone, with rdtscp on each side of the one call:
// the library's epoch and relative clocks called directly through the PLT,
// clock_gettime(CLOCK_REALTIME) and (CLOCK_MONOTONIC) beside them, and a
// bare rdtsc for what the timing itself costs.
//
// The clocks take turns in shuffled blocks of reads, so that a noisy spell
// of the machine falls on all of them alike, while each clock is still read
// once every gap: read in strict rotation, each would see a gap five times
// longer than asked. It prints figures and asserts none.

#include <jni.h>
#include <stdio.h>
#include <sys/prctl.h>

#include <random>
#include <vector>

#include "bench/sparse/clocks.h"
#include "bench/sparse/options.h"
#include "bench/sparse/report.h"
#include "bench/sparse/sampling.h"
#include "com_vornix_common_unix_Varnok.h"

using namespace sparse;

int main(int argc, char** argv) {
  Options options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed != kProceed) return parsed;
  if (!HasRdtscp()) {
    fprintf(stderr, "sparse_benchmark: this processor has no rdtscp\n");
    return 1;
  }
  // A pause should last about as long as asked, not the 50 us of slack the
  // kernel otherwise adds to a sleep.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
  // What the Java class does when it is initialised; every clock needs it.
  Java_com_vornix_common_unix_Varnok_init(nullptr, nullptr);

  // With CSV, standard output holds only the CSV.
  FILE* const text = options.csv ? stderr : stdout;
  const Machine machine = DescribeMachine();
  PrintHeader(text, options, machine);
  std::mt19937_64 random(options.seed);
  const double ns_per_tick = 1e9 / machine.counter_hz;
  std::vector<GapResult> gaps;
  for (const int64_t gap_ns : options.gaps_ns) {
    gaps.push_back(
        SummariseGap(SampleGap(gap_ns, options, &random), ns_per_tick));
    PrintGap(text, gaps.back());
    fflush(text);
  }
  PrintSummary(text, machine, gaps);
  if (options.csv) PrintCsv(stdout, machine, gaps);
  PrintKernelChange(text, machine.host.frequency,
                    accuracy::ReadKernelFrequency());
  return 0;
}
