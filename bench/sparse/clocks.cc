#include "bench/sparse/clocks.h"

#include <cpuid.h>
#include <jni.h>
#include <time.h>

#include "com_vornix_common_unix_Varnok.h"

namespace sparse {

namespace {

// rdtscp waits until every earlier instruction has executed, so the stamp
// after a call is taken once the call's result exists; the lfence after it
// keeps what follows (the call, after the first stamp) from starting early.
inline uint64_t Stamp() {
  uint32_t lo, hi, aux;
  __asm__ __volatile__("rdtscp\n\tlfence"
                       : "=a"(lo), "=d"(hi), "=c"(aux)
                       :
                       : "memory");
  return static_cast<uint64_t>(hi) << 32 | lo;
}

// Keeps the result from being dropped, outside the timed span.
volatile int64_t g_sink;

template <int64_t (*kRead)()>
Timing Timed() {
  Timing t;
  t.start = Stamp();
  const int64_t value = kRead();
  // The result must exist before the second stamp, not be computed after it.
  __asm__ __volatile__("" : : "r"(value));
  t.end = Stamp();
  g_sink = value;
  return t;
}

inline int64_t Rdtsc() {
  uint32_t lo, hi;
  __asm__ __volatile__("rdtsc" : "=a"(lo), "=d"(hi));
  return static_cast<int64_t>(static_cast<uint64_t>(hi) << 32 | lo);
}

// Called directly, through the PLT, as any program that links the library
// by name calls them; no JVM, so no JNI transition.
inline int64_t Epoch() {
  return Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(nullptr, nullptr);
}

inline int64_t Relative() {
  return Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(nullptr,
                                                               nullptr);
}

// Folded into nanoseconds, as a caller wanting one number does.
template <clockid_t kId>
inline int64_t ClockGettime() {
  struct timespec ts;
  clock_gettime(kId, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

const Clock kClocks[kClockCount] = {
    {"rdtsc", "bare rdtsc (floor)", Timed<Rdtsc>},
    {"varnok_epoch", "Varnok epoch (nanoTimeEpoch1)", Timed<Epoch>},
    {"varnok_relative", "Varnok relative (nanoTimeRelative1)", Timed<Relative>},
    {"clock_gettime_realtime", "clock_gettime(CLOCK_REALTIME)",
     Timed<ClockGettime<CLOCK_REALTIME>>},
    {"clock_gettime_monotonic", "clock_gettime(CLOCK_MONOTONIC)",
     Timed<ClockGettime<CLOCK_MONOTONIC>>},
};

bool HasRdtscp() {
  unsigned eax, ebx, ecx, edx;
  return __get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx) && (edx & (1u << 27));
}

}  // namespace sparse
