// Discovers the counter's rate from the kernel's files (or a measurement),
// then checks all but the kernel's own calibration against its raw clock.

// The precondition check below stays in every build type.
#undef NDEBUG

#include "java/com/vornix/common/unix/base/sysinfo.h"

#include <assert.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "java/com/vornix/common/unix/base/cycleclock.h"
#include "java/com/vornix/common/unix/base/kernel_clock_read.h"
#include "java/com/vornix/common/unix/base/time_support.h"

namespace java_com_vornix_common_unix_base {

static double cpuinfo_cycles_per_second = 1.0;

// Below 1e8 the 100 us pairing tolerance is shorter than one gettimeofday
// and calibration would retry for ever; above 1e11 the tolerance overflows.
static const double kMinUsableRate = 1e8, kMaxUsableRate = 1e11;

// Counter ticks per second, measured across a sleep of the given length.
// Used only when the kernel's files (on aarch64, the timer) give no rate.
static int64 EstimateCyclesPerSecond(const int estimate_time_ms) {
  assert(estimate_time_ms > 0);
  const double multiplier = 1000.0 / estimate_time_ms;
  const int64 start = CycleClock::Now();
  SleepForMilliseconds(estimate_time_ms);
  // Wrapping difference: a counter that jumps cannot make this overflow.
  const int64 elapsed = static_cast<int64>(
      static_cast<uint64_t>(CycleClock::Now()) - static_cast<uint64_t>(start));
  return static_cast<int64>(multiplier * elapsed);
}

// The kernel's files, read on x86-64 only: aarch64 states its rate (below).
#if !defined(__aarch64__)
// Reads one decimal number from a small kernel file. The whole text up to a
// newline or its end must be the number, so "3000000 kHz" is refused.
static bool ReadIntFromFile(const char* file, int* value) {
  const int fd = open(file, O_RDONLY);
  if (fd == -1) return false;
  bool ret = false;
  char line[1024];
  memset(line, '\0', sizeof(line));
  // Whatever read returns, the zeroed buffer stays a terminated string.
  const ssize_t unused = read(fd, line, sizeof(line) - 1);
  (void)unused;
  char* err;
  const long temp_value = strtol(line, &err, 10);
  if (line[0] != '\0' && (*err == '\n' || *err == '\0')) {
    *value = static_cast<int>(temp_value);
    ret = true;
  }
  close(fd);
  return ret;
}
#endif

static bool IsUsableRate(double rate) {
#if defined(__aarch64__)
  // The generic timer runs at 1 MHz or more (1 GHz from Armv8.6 on), so the
  // 100 us pairing tolerance is still at least 100 ticks there.
  const double lowest = 1e6;
  (void)kMinUsableRate;
#else
  const double lowest = kMinUsableRate;
#endif
  // Written so that a NaN fails too.
  return rate >= lowest && rate <= kMaxUsableRate;
}

// --- The check against the kernel's clock -------------------------------
//
// Outside a virtual machine the files after tsc_freq_khz state a core
// frequency, not the counter's rate: cpuinfo_max_freq is a turbo ceiling or
// the nominal frequency plus 1 MHz, "cpu MHz" the core's current (often
// idle) frequency, bogomips twice the MHz. A clock built on such a rate is
// off by up to a second and steps back at every epoch. So the rate is
// checked against CLOCK_MONOTONIC_RAW, which NTP does not slew and which,
// where the kernel keeps time with the counter, is the counter scaled by
// the kernel's own calibration.

// Files that are right agree with the kernel to well under 1 ppm (they are
// its own figure rounded to a kHz); the smallest wrong one seen in the
// wild, nominal + 1 MHz, is over 200 ppm off.
static const double kAgreement = 50e-6;
// Long enough for 1 ppm from brackets a few tens of nanoseconds wide, short
// enough to go unnoticed in start-up.
static const int kCheckMs = 20;
static const int kBrackets = 16;

// A counter reading paired with a reading of the kernel's raw clock.
struct Pairing {
  int64 ticks;
  uint64_t ns;
};

// The clock read between two counter reads, several times; the narrowest
// bracket wins, as an interrupt or a preemption can only widen one. The
// counter reading is the bracket's middle. Wrapping arithmetic throughout:
// a counter or clock that jumps must not overflow anything.
static bool PairCounterWithRawClock(Pairing* pairing) {
  uint64_t narrowest = UINT64_MAX;
  for (int i = 0; i < kBrackets; ++i) {
    struct timespec ts;
    const int64 before = CycleClock::Now();
    if (ReadKernelClock(CLOCK_MONOTONIC_RAW, &ts) != 0) return false;
    const int64 after = CycleClock::Now();
    const uint64_t width =
        static_cast<uint64_t>(after) - static_cast<uint64_t>(before);
    if (width < narrowest) {
      narrowest = width;
      pairing->ticks =
          static_cast<int64>(static_cast<uint64_t>(before) + width / 2);
      pairing->ns = static_cast<uint64_t>(ts.tv_sec) * 1000000000u +
                    static_cast<uint64_t>(ts.tv_nsec);
    }
  }
  return true;
}

// Counter ticks per second of the kernel's raw clock; 0 if it cannot tell.
static double RateByKernelClock() {
  Pairing start, end;
  if (!PairCounterWithRawClock(&start)) return 0.0;
  SleepForMilliseconds(kCheckMs);
  if (!PairCounterWithRawClock(&end)) return 0.0;
  const int64 ns = static_cast<int64>(end.ns - start.ns);
  const int64 ticks = static_cast<int64>(static_cast<uint64_t>(end.ticks) -
                                         static_cast<uint64_t>(start.ticks));
  // A sleep cut short leaves too short a span for the precision needed.
  if (ns < kCheckMs * 1000000 / 2) return 0.0;
  return static_cast<double>(ticks) * 1e9 / static_cast<double>(ns);
}

// The given rate if the kernel's clock agrees with it, or cannot be asked;
// otherwise the kernel's.
static double CheckedRate(double rate) {
  const double measured = RateByKernelClock();
  const bool agrees = fabs(rate - measured) <= kAgreement * measured;
  return IsUsableRate(measured) && !agrees ? measured : rate;
}

// --- Discovery --------------------------------------------------------------

#if defined(__aarch64__)
// The generic timer's rate as the firmware set it, the rate by which the
// kernel keeps time too: exact, with no file to read and nothing to check.
static double ArchitecturalRate() {
  uint64_t hz;
  __asm__ __volatile__("mrs %0, cntfrq_el0" : "=r"(hz));
  return static_cast<double>(hz);
}

void InitializeSystemInfo() {
  const double rate = ArchitecturalRate();
  // Firmware that never set the register leaves its reset value, often 0,
  // and a rate that cannot calibrate must never be used: measure instead,
  // and check the measurement, as for files that give no usable rate.
  cpuinfo_cycles_per_second =
      IsUsableRate(rate)
          ? rate
          : CheckedRate(static_cast<double>(EstimateCyclesPerSecond(1000)));
}
#else

// The first of the two sysfs files that holds a number, in kHz.
static bool RateFromSysfs(double* rate, bool* from_tsc_freq_khz) {
  int freq_khz;
  // The kernel's own calibration of the counter, when it publishes one.
  *from_tsc_freq_khz = ReadIntFromFile(
      "/sys/devices/system/cpu/cpu0/tsc_freq_khz", &freq_khz);
  if (*from_tsc_freq_khz ||
      ReadIntFromFile("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq",
                      &freq_khz)) {
    *rate = freq_khz * 1000.0;
    return true;
  }
  return false;
}

// The first MHz line's rate unless a rate was seen already, else the last
// bogomips line's, else 1.0.
static double RateFromCpuinfo(FILE* f, bool saw_rate, double rate) {
  double bogo_clock = 1.0;
  char line[1024];
  while (fgets(line, sizeof(line), f) != NULL) {
    line[sizeof(line) - 1] = '\0';
    double value;
    // The first MHz line wins: on most machines every core shows the same.
    if (!saw_rate && (sscanf(line, "cpu MHz : %lf\n", &value) == 1 ||
                      sscanf(line, "clock : %lfMHz", &value) == 1)) {
      rate = value * 1000000;
      saw_rate = true;
    } else if (sscanf(line, "bogomips : %lf", &value) == 1) {
      bogo_clock = value * 1000000;
    }
  }
  return saw_rate ? rate : bogo_clock;
}

// The rate the files state, or a measurement across a one-second sleep when
// they cannot be read or state a rate that cannot work.
static double RateFromFiles(bool* from_tsc_freq_khz) {
  double rate = 1.0;
  const bool saw_rate = RateFromSysfs(&rate, from_tsc_freq_khz);
  const char* const pname = "/proc/cpuinfo";
  FILE* const f = fopen(pname, "r");
  if (f == NULL) {
    perror(pname);
    *from_tsc_freq_khz = false;
    return static_cast<double>(EstimateCyclesPerSecond(1000));
  }
  rate = RateFromCpuinfo(f, saw_rate, rate);
  fclose(f);
  // Whatever the files hold, never calibrate with a rate that cannot work.
  if (!IsUsableRate(rate)) {
    *from_tsc_freq_khz = false;
    rate = static_cast<double>(EstimateCyclesPerSecond(1000));
  }
  return rate;
}

void InitializeSystemInfo() {
  bool from_tsc_freq_khz;
  const double rate = RateFromFiles(&from_tsc_freq_khz);
  // tsc_freq_khz is the kernel's own calibration: nothing to check it by.
  cpuinfo_cycles_per_second = from_tsc_freq_khz ? rate : CheckedRate(rate);
}
#endif

double CyclesPerSecond() { return cpuinfo_cycles_per_second; }

}  // namespace java_com_vornix_common_unix_base
