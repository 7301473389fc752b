// A host whose counter runs at a chosen true rate against a virtual
// CLOCK_MONOTONIC_RAW, so that rate discovery's check against the kernel's
// clock can be scripted exactly.
//
// A program that links scripted_host.cc defines clock_gettime and
// CycleClock::Now itself; the library's reads of the raw clock and the
// counter reach them and, while a host is scripted, see virtual time (and
// otherwise the real clocks). The program's own sleep passes virtual time
// with Sleep(). Virtual time moves only by the costs and delays scripted
// here, so without them every reading is exact.

#ifndef VARNOK_TESTS_SCRIPTED_HOST_H_
#define VARNOK_TESTS_SCRIPTED_HOST_H_

#include <stdint.h>

namespace scripted_host {

struct Host {
  int64_t rate_hz = 0;         // the counter's true rate
  int64_t counter_read_ns = 0;  // virtual time that each counter read takes
  int64_t clock_read_ns = 0;    // and each read of the raw clock
  int64_t sleep_extra_ns = 0;   // how far each sleep overshoots
  // Counter reads (numbered from 0 since Start) that come this late, as if
  // the thread had been preempted just before them.
  int late_reads[8] = {-1, -1, -1, -1, -1, -1, -1, -1};
  int64_t late_ns = 0;
  int clock_errno = 0;  // nonzero: every read of the raw clock fails so
};

// From now on the counter and the raw clock are this host's.
void Start(const Host& host);
// The raw clock is the real one again.
void Stop();
bool Active();

// The counter as the host reads it; CycleClock::Now returns this while the
// host is active.
int64_t ReadCounter();
// The program's sleep calls this while the host is active.
void Sleep(int64_t ns);

// What the library did since Start.
int CounterReads();
int ClockReads();
int64_t VirtualNs();  // virtual time passed

}  // namespace scripted_host

#endif  // VARNOK_TESTS_SCRIPTED_HOST_H_
