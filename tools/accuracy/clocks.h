// The clocks the tool compares: the counter, the kernel's clocks and the
// library's two clocks, and pairings of one with another.

#ifndef TOOLS_ACCURACY_CLOCKS_H_
#define TOOLS_ACCURACY_CLOCKS_H_

#include <stdint.h>
#include <time.h>
#include <x86intrin.h>

namespace accuracy {

// The tool reads the counter itself rather than through the library's
// exported reader: defining that reader here would put this copy in front of
// the library's own for the whole process.
inline uint64_t ReadCounter() { return __rdtsc(); }

inline int64_t ClockNs(clockid_t id) {
  struct timespec ts;
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Calls the library's init; returns how long it took, in ns.
int64_t TimeInit();

int64_t EpochClock();
int64_t RelativeClock();

// The factor by which the library turns its counter rate into seconds of
// CLOCK_REALTIME, in ppm from 1, as the relative clock shows it: counter
// ticks times that factor over the rate. Fixes the relative clock's factor
// if this is its first call.
double ClockFactorPpm(double cycles_per_second);

// A counter reading and a kernel clock reading taken at the same moment, as
// nearly as can be.
struct CounterAndClock {
  double counter;
  int64_t ns;
};
CounterAndClock PairCounterWith(clockid_t id);

// Counter ticks per second of the kernel clock between two pairings.
double RateBetween(const CounterAndClock& start, const CounterAndClock& end);

// The counter's rate against CLOCK_MONOTONIC_RAW across a pause of `ns`.
double MeasureCounterRate(int64_t ns);

// The relative clock and CLOCK_MONOTONIC at one moment, the latter doubled
// so that the middle of its bracket stays an integer.
struct RelativeAndMonotonic {
  int64_t relative;
  int64_t monotonic2;
};
RelativeAndMonotonic PairRelativeWithMonotonic();

// Waits until CLOCK_MONOTONIC reaches the deadline, by sleeping or spinning.
void SleepUntil(int64_t deadline_ns, bool busy);

}  // namespace accuracy

#endif  // TOOLS_ACCURACY_CLOCKS_H_
