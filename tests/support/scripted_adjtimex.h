// The kernel's frequency correction of CLOCK_REALTIME, scripted.
//
// A program that links scripted_adjtimex.cc defines adjtimex, so the
// library's reading of it at init lands here. Until a test scripts another
// reading, it is that of a clock no NTP daemon disciplines (freq 0, the
// nominal tick), which leaves the clock's arithmetic exactly as it is
// without the correction: tests that expect exact results stay exact on a
// machine that runs NTP.

#ifndef VARNOK_TESTS_SCRIPTED_ADJTIMEX_H_
#define VARNOK_TESTS_SCRIPTED_ADJTIMEX_H_

namespace scripted_adjtimex {

struct Reading {
  int result;  // what the call returns: a clock state, or -1 for a failure
  int error;   // errno when it fails
  long freq;   // 2^-16 ppm
  long tick;   // microseconds per tick
  int status;  // STA_* bits
  long offset;  // what the PLL has still to slew (us, or ns with STA_NANO)
};

// No NTP: freq 0, tick 1e6 / USER_HZ, status STA_UNSYNC, no offset.
Reading Undisciplined();
// From now on adjtimex answers with this reading.
void Script(const Reading& reading);

// What the program asked since the last Script: calls, and whether any of
// them asked to change the clock (modes other than 0).
int Calls();
bool AskedToWrite();

}  // namespace scripted_adjtimex

#endif  // VARNOK_TESTS_SCRIPTED_ADJTIMEX_H_
