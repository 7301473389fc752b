// Discovers the counter's rate from the kernel's files, in order of trust,
// and measures it across a one-second sleep when they cannot be read.

// The precondition check below stays in every build type.
#undef NDEBUG

#include "java/com/vornix/common/unix/base/sysinfo.h"

#include <assert.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "java/com/vornix/common/unix/base/cycleclock.h"
#include "java/com/vornix/common/unix/base/time_support.h"

namespace java_com_vornix_common_unix_base {

static double cpuinfo_cycles_per_second = 1.0;

// A rate outside these bounds cannot calibrate the clock: below them the
// 100 us pairing tolerance is shorter than one gettimeofday call, so the
// calibration would retry for ever; above them the tolerance overflows.
static const double kMinUsableRate = 1e8;
static const double kMaxUsableRate = 1e11;

// Counter ticks per second, measured across a sleep of the given length.
// Used only when the kernel's files cannot give a rate.
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

static bool IsUsableRate(double rate) {
  // Written so that a NaN fails too.
  return rate >= kMinUsableRate && rate <= kMaxUsableRate;
}

void InitializeSystemInfo() {
  bool saw_rate = false;
  int freq_khz;

  // The kernel's own calibration of the counter, when it publishes one.
  if (ReadIntFromFile("/sys/devices/system/cpu/cpu0/tsc_freq_khz",
                      &freq_khz)) {
    cpuinfo_cycles_per_second = freq_khz * 1000.0;
    saw_rate = true;
  }
  if (!saw_rate &&
      ReadIntFromFile("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq",
                      &freq_khz)) {
    cpuinfo_cycles_per_second = freq_khz * 1000.0;
    saw_rate = true;
  }

  const char* const pname = "/proc/cpuinfo";
  FILE* const f = fopen(pname, "r");
  if (f == NULL) {
    perror(pname);
    cpuinfo_cycles_per_second =
        static_cast<double>(EstimateCyclesPerSecond(1000));
    return;
  }

  double bogo_clock = 1.0;
  char line[1024];
  while (fgets(line, sizeof(line), f) != NULL) {
    line[sizeof(line) - 1] = '\0';
    double value;
    // The first MHz line wins: on most machines every core shows the same.
    if (!saw_rate && (sscanf(line, "cpu MHz : %lf\n", &value) == 1 ||
                      sscanf(line, "clock : %lfMHz", &value) == 1)) {
      cpuinfo_cycles_per_second = value * 1000000;
      saw_rate = true;
    } else if (sscanf(line, "bogomips : %lf", &value) == 1) {
      bogo_clock = value * 1000000;
    }
  }
  fclose(f);
  if (!saw_rate) cpuinfo_cycles_per_second = bogo_clock;

  // Whatever the files hold, never calibrate with a rate that cannot work.
  if (!IsUsableRate(cpuinfo_cycles_per_second)) {
    cpuinfo_cycles_per_second =
        static_cast<double>(EstimateCyclesPerSecond(1000));
  }
}

double CyclesPerSecond() { return cpuinfo_cycles_per_second; }

}  // namespace java_com_vornix_common_unix_base
