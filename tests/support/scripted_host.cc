#include "tests/support/scripted_host.h"

#include <errno.h>
#include <time.h>

#include "tests/support/next_definition.h"

namespace scripted_host {
namespace {

// Far from zero, so that a reading mistaken for a difference shows.
constexpr int64_t kCounterOrigin = int64_t{1} << 40;
constexpr int64_t kClockOrigin = int64_t{12345} * 1000000000;

bool g_active;
Host g_host;
int64_t g_ns;  // virtual time since Start
int g_counter_reads, g_clock_reads, g_sleeps;

// Passes a read's cost, returning the virtual time halfway through it.
int64_t Read(int64_t cost_ns) {
  const int64_t at = g_ns + cost_ns / 2;
  g_ns += cost_ns;
  return at;
}

}  // namespace

void Start(const Host& host) {
  g_host = host;
  g_ns = 0;
  g_counter_reads = g_clock_reads = g_sleeps = 0;
  g_active = true;
}

void Stop() { g_active = false; }
bool Active() { return g_active; }

int64_t ReadCounter() {
  const int read = g_counter_reads++;
  if (g_host.counter_late_ns != nullptr) g_ns += g_host.counter_late_ns(read);
  const int64_t at = Read(g_host.counter_read_ns);
  return kCounterOrigin + static_cast<int64_t>(static_cast<__int128>(at) *
                                               g_host.rate_hz / 1000000000);
}

void Sleep(int64_t ns) {
  ++g_sleeps;
  g_ns += ns + g_host.sleep_extra_ns;
}

int CounterReads() { return g_counter_reads; }
int ClockReads() { return g_clock_reads; }
int Sleeps() { return g_sleeps; }
int64_t VirtualNs() { return g_ns; }

}  // namespace scripted_host

// The counter: the scripted host's while there is one, else the real one.
namespace java_com_vornix_common_unix_base {
struct CycleClock {
  static int64_t Now();
};

int64_t CycleClock::Now() {
  if (scripted_host::g_active) return scripted_host::ReadCounter();
  static const auto real = NextDefinition<int64_t (*)()>(
      "_ZN32java_com_vornix_common_unix_base10CycleClock3NowEv");
  return real();
}
}  // namespace java_com_vornix_common_unix_base

extern "C" int clock_gettime(clockid_t id, struct timespec* ts) noexcept {
  namespace sh = scripted_host;
  if (!sh::g_active || id != CLOCK_MONOTONIC_RAW) {
    static const auto real =
        NextDefinition<int (*)(clockid_t, struct timespec*)>("clock_gettime");
    return real(id, ts);
  }
  const int read = sh::g_clock_reads++;
  if (sh::g_host.clock_errno != 0) {
    errno = sh::g_host.clock_errno;
    return -1;
  }
  const int64_t slow =
      sh::g_host.clock_slow_ns != nullptr ? sh::g_host.clock_slow_ns(read) : 0;
  const int64_t now = sh::kClockOrigin + sh::Read(sh::g_host.clock_read_ns + slow);
  ts->tv_sec = now / 1000000000;
  ts->tv_nsec = now % 1000000000;
  return 0;
}
