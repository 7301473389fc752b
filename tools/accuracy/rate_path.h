// The path the counter's rate took through the library's discovery, told
// from outside: which file discovery started from, what that file states,
// and whether the library kept that rate after checking it against
// CLOCK_MONOTONIC_RAW, replaced it with its own measurement, or measured
// the counter across a one-second sleep because no file gave a usable rate.

#ifndef TOOLS_ACCURACY_RATE_PATH_H_
#define TOOLS_ACCURACY_RATE_PATH_H_

#include <string>

#include "tools/accuracy/host.h"

namespace accuracy {

enum class Source { kTscFreqKhz, kMaxFreq, kMhzLine, kBogomips, kNone };

enum class Path {
  kAsIs,      // tsc_freq_khz, the kernel's calibration, taken unchecked
  kKept,      // another file's rate, kept after the check
  kReplaced,  // another file's rate, replaced by the library's measurement
  kMeasured,  // no usable file: measured across a one-second sleep
};

struct RatePath {
  Path path;
  Source source;        // the file discovery started from
  double file_rate;     // what that file states, in Hz
  bool cpuinfo_missing; // /proc/cpuinfo could not be opened
  double library_rate;  // CyclesPerSecond() after init
  double counter_rate;  // the counter against CLOCK_MONOTONIC_RAW
};

RatePath TraceRatePath(const Host& host, double library_rate,
                       double counter_rate);

// "as-is", "kept", "replaced" or "measured", as --require-path takes them.
const char* PathName(Path path);

// Where the file is, for the report.
const char* SourceName(Source source);

// (rate / reference - 1) in ppm.
double Ppm(double rate, double reference);

// Why a file of this kind states another rate than the counter's.
std::string WhyDifferent(const RatePath& trace);

}  // namespace accuracy

#endif  // TOOLS_ACCURACY_RATE_PATH_H_
