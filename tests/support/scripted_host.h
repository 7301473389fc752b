// A host whose counter runs at a chosen true rate against a virtual
// CLOCK_MONOTONIC_RAW, so that rate discovery's check against the kernel's
// clock can be scripted exactly.
//
// A program that links scripted_host.cc defines clock_gettime and
// CycleClock::Now itself; the library's reads of the raw clock and the
// counter reach them and, while a host is scripted, see virtual time (and
// otherwise the real clocks). The program's own sleep passes virtual time
// with Sleep(). Virtual time moves only by the costs and delays scripted
// here, so without them every reading is exact. Each read takes its
// reading halfway through its cost, so a bracket of the raw clock between
// two counter reads that nothing delayed has exactly the clock's reading in
// its middle, however slow either read is.

#ifndef VARNOK_TESTS_SCRIPTED_HOST_H_
#define VARNOK_TESTS_SCRIPTED_HOST_H_

#include <stdint.h>

namespace scripted_host {

struct Host {
  int64_t rate_hz = 0;         // the counter's true rate
  int64_t counter_read_ns = 0;  // virtual time that each counter read takes
  int64_t clock_read_ns = 0;    // and each read of the raw clock
  int64_t sleep_extra_ns = 0;   // how far each sleep overshoots
  // Each read's own delay, by its number (from 0 since Start; the counter's
  // and the clock's are counted apart); null: none. A counter read comes
  // that late, as if the thread had been preempted just before it; a clock
  // read takes that much longer, as when it traps to a hypervisor.
  int64_t (*counter_late_ns)(int read) = nullptr;
  int64_t (*clock_slow_ns)(int read) = nullptr;
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
int Sleeps();
int64_t VirtualNs();  // virtual time passed

}  // namespace scripted_host

#endif  // VARNOK_TESTS_SCRIPTED_HOST_H_
