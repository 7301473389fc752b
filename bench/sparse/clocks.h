// The clocks sparse_benchmark reads, each as one call timed by the counter.

#ifndef BENCH_SPARSE_CLOCKS_H_
#define BENCH_SPARSE_CLOCKS_H_

#include <stdint.h>

namespace sparse {

// The counter just before a call starts and just after its result exists.
struct Timing {
  uint64_t start;
  uint64_t end;
};

struct Clock {
  const char* key;    // for CSV
  const char* label;  // for the tables
  Timing (*timed)();  // one call, timed
};

// The clocks in the tables' order. The floor is a bare rdtsc between the
// same two stamps: what the timing itself costs.
enum ClockIndex { kFloor, kEpoch, kRelative, kRealtime, kMonotonic, kClockCount };
extern const Clock kClocks[kClockCount];

// Whether this processor has rdtscp, which the stamps use.
bool HasRdtscp();

}  // namespace sparse

#endif  // BENCH_SPARSE_CLOCKS_H_
