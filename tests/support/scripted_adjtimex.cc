#include "tests/support/scripted_adjtimex.h"

#include <errno.h>
#include <sys/timex.h>
#include <unistd.h>

namespace scripted_adjtimex {
namespace {

// Zero until the first call of adjtimex or Script, which take Undisciplined
// then: the library's init may run before this program's constructors.
bool g_scripted;
Reading g_reading;
int g_calls;
bool g_asked_to_write;

}  // namespace

Reading Undisciplined() {
  return {TIME_ERROR, 0, 0, 1000000 / sysconf(_SC_CLK_TCK), STA_UNSYNC, 0};
}

void Script(const Reading& reading) {
  g_reading = reading;
  g_scripted = true;
  g_calls = 0;
  g_asked_to_write = false;
}

int Calls() { return g_calls; }
bool AskedToWrite() { return g_asked_to_write; }

}  // namespace scripted_adjtimex

extern "C" int adjtimex(struct timex* tx) noexcept {
  namespace sa = scripted_adjtimex;
  if (!sa::g_scripted) sa::Script(sa::Undisciplined());
  ++sa::g_calls;
  sa::g_asked_to_write |= tx->modes != 0;
  if (sa::g_reading.result == -1) {
    errno = sa::g_reading.error;
    return -1;
  }
  tx->freq = sa::g_reading.freq;
  tx->tick = sa::g_reading.tick;
  tx->status = sa::g_reading.status;
  tx->offset = sa::g_reading.offset;
  return sa::g_reading.result;
}
