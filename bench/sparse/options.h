// What sparse_benchmark was asked to measure, from its command line.

#ifndef BENCH_SPARSE_OPTIONS_H_
#define BENCH_SPARSE_OPTIONS_H_

#include <stdint.h>

#include <string>
#include <vector>

namespace sparse {

struct Options {
  // The pause before each read; 0 reads back-to-back, as a loop does.
  std::vector<int64_t> gaps_ns = {0, 100000, 2000000};
  long samples = 1000;  // recorded reads per clock and gap
  long block = 10;      // reads of one clock in a row, after one unrecorded
  unsigned long seed = 1;
  bool csv = false;     // CSV on standard output, the rest on standard error
};

// "0", or a number with a unit: 500ns, 100us, 2ms, 1s. False for anything
// else, a negative value, or more than a minute.
bool ParseDuration(const std::string& text, int64_t* ns);

// A comma-separated list of durations, at least one.
bool ParseGaps(const std::string& text, std::vector<int64_t>* gaps_ns);

// Parses argv into *options. Returns kProceed, or the exit status to stop
// with (after --help, or on a bad argument, which it has reported).
const int kProceed = -1;
int ParseOptions(int argc, char** argv, Options* options);

}  // namespace sparse

#endif  // BENCH_SPARSE_OPTIONS_H_
