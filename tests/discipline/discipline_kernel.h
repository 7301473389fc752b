// The kernel's clock discipline: saved at the start, put back after each
// scenario, and by a guardian process if this one dies in any way.
#ifndef VARNOK_TESTS_DISCIPLINE_KERNEL_H_
#define VARNOK_TESTS_DISCIPLINE_KERNEL_H_

#include <limits.h>
#include <sys/timex.h>
#include <sys/types.h>

#include <string>

namespace varnok_discipline {

extern struct timex saved;  // as found at the start

void Adjtimex(struct timex* tx, const char* what);
struct timex ReadKernel();

// Puts back what was saved, with nothing left to slew but the share of the
// second in progress that the kernel has already added to its tick length.
// System calls only, so that the guardian can call it whatever state the
// process was left in.
void Restore();

// The undisciplined starting point: the frequency and tick as found, the
// clock unsynchronised, nothing left to slew.
void Undisciplined();

// The guardian: a process that waits for this one to go, however it goes,
// then stops the chronyd started here (its pid arrives through the pipe)
// and restores the discipline. Returns the pipe's writing end.
int StartGuardian();
void Announce(int guardian, pid_t chronyd);

// Daemons that discipline the clock: any of them would fight the scenarios.
std::string OtherDaemon();

// The kernel's frequency and tick over a run, to show what the daemon did.
struct FreqRange {
  double low = 1e9, high = -1e9;
  long tick_low = LONG_MAX, tick_high = LONG_MIN;
  void Take();
  // Where the scenario alone sets the kernel's clock, a frequency or tick
  // it did not set means that something else on the machine does (another
  // test, or a daemon this program did not recognise): the figures would
  // not be this scenario's.
  void ExpectUnchanged(double ppm, double tolerance_ppm, long tick) const;
  std::string Describe() const;
};

}  // namespace varnok_discipline

#endif  // VARNOK_TESTS_DISCIPLINE_KERNEL_H_
