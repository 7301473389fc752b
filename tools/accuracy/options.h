// What varnok_accuracy was asked to do, from its command line.

#ifndef TOOLS_ACCURACY_OPTIONS_H_
#define TOOLS_ACCURACY_OPTIONS_H_

#include <string>

namespace accuracy {

struct Options {
  double seconds = 10.0;
  long epochs = 0;        // stop after this many cycle-epoch boundaries; 0: don't
  long interval_us = 100;
  bool busy = false;
  std::string csv_path;   // empty: write no CSV
  std::string png_path;   // empty: draw no plot
  long max_rows = 1000000;
  long wide_ns = 5000;
  bool measure_rate = false;  // only print the counter's rate and stop
  // Requirements that set the exit status; negative or empty: none.
  double require_p99_us = -1.0;
  double require_step_back_us = -1.0;
  std::string require_path;
};

// Parses argv into *options. Returns kProceed, or the exit status to stop
// with (after --help, or on a bad argument, which it has reported).
const int kProceed = -1;
int ParseOptions(int argc, char** argv, Options* options);

}  // namespace accuracy

#endif  // TOOLS_ACCURACY_OPTIONS_H_
