// chronyd following a reference that this program feeds it through the
// classic NTP shared-memory segment, with no network.
#ifndef VARNOK_TESTS_DISCIPLINE_REFERENCE_H_
#define VARNOK_TESTS_DISCIPLINE_REFERENCE_H_

#include <sys/ipc.h>

#include <string>

#include "discipline_measure.h"

namespace varnok_discipline {

constexpr key_t kShmKey = 0x4e545030;  // "NTP0": chronyd's refclock SHM 0

// The chronyd scenario: the measurement while chronyd slews towards, and
// keeps changing the frequency after, a reference that drifts.
Result Chronyd(const Options& o, double seconds, std::string* note);
// chronyd slewing 500 ms away at its fastest (83,333 ppm, through tick),
// with init 3 s into the slew, and at the half 500 ms back, so that the
// host's clock ends where it began.
Result ChronydFast(const Options& o, double seconds, std::string* note);

}  // namespace varnok_discipline

#endif  // VARNOK_TESTS_DISCIPLINE_REFERENCE_H_
