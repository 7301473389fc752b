// The measurement: a process of its own (this program with --measure), so
// that every scenario starts from a fresh library, and the side that runs it.
#ifndef VARNOK_TESTS_DISCIPLINE_MEASURE_H_
#define VARNOK_TESTS_DISCIPLINE_MEASURE_H_

#include <functional>
#include <string>

namespace varnok_discipline {

struct Result {
  unsigned long long samples = 0, dropped = 0, over_10us = 0;
  long long p99 = 0, max = 0, step_back = 0;
  // The interval clock's largest rate error against CLOCK_MONOTONIC over
  // any 10 s (or the run, less its first 2 s, where shorter), in ppb.
  long long interval_ppb = 0;
};

struct Options {
  std::string self, library, chronyd = "/usr/sbin/chronyd";
  int guardian = -1;
};

// The measuring process: loads the library, calls init and measures the
// epoch clock, and the interval clock's rate, for the given seconds, then
// prints one line of figures.
int Measure(const char* library, double seconds);

// Runs the measurement for the given seconds while tick() runs every
// 50 ms in this thread (for logging what the kernel does).
Result RunMeasurement(const Options& o, double seconds, const std::function<void()>& tick);

}  // namespace varnok_discipline

#endif  // VARNOK_TESTS_DISCIPLINE_MEASURE_H_
