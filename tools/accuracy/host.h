// What the host offers the clock: the kernel files the library takes the
// counter's rate from, the counter's invariance flags, the kernel's
// clocksource and its frequency correction.

#ifndef TOOLS_ACCURACY_HOST_H_
#define TOOLS_ACCURACY_HOST_H_

#include <sys/timex.h>

#include <string>

namespace accuracy {

// A small sysfs file as the library reads it: its first kilobyte.
struct KernelFile {
  bool present = false;
  std::string text;
  int error = 0;  // errno where it could not be read
};

// A /proc/cpuinfo line that states a rate, tidied for display as
// "key: value", and that rate in Hz as the library reads it.
struct CpuinfoRate {
  bool found = false;
  std::string line;
  double rate = 0.0;
};

// The kernel's frequency correction of CLOCK_REALTIME, from adjtimex.
struct KernelFrequency {
  bool ok = false;         // adjtimex could be read
  double freq_ppm = 0.0;   // its freq
  long tick_us = 0;        // its tick, and the tick without correction
  long nominal_tick_us = 0;
  int status = 0;          // STA_* bits
  bool synchronised = false;
  // How fast CLOCK_REALTIME runs against the raw clock by freq and tick.
  double realtime_ppm = 0.0;
};

KernelFrequency ReadKernelFrequency();

// The same from what adjtimex returned (STATE) and filled in (TX), with
// USER_HZ ticks a second.
KernelFrequency KernelFrequencyFrom(int state, const struct timex& tx,
                                    long user_hz);

// "PLL UNSYNC ...": the status bits that say who disciplines the clock.
std::string StatusText(int status);

struct Host {
  std::string model = "(unknown)";
  std::string kernel;
  std::string clocksource = "(unknown)";
  KernelFile tsc_freq_khz;
  KernelFile max_freq;    // cpufreq/cpuinfo_max_freq
  KernelFile clocksources;  // clocksource0/available_clocksource
  bool cpuinfo = false;   // /proc/cpuinfo could be opened
  int cpuinfo_error = 0;  // errno where it could not
  CpuinfoRate mhz;        // the first "cpu MHz" or "clock" line
  CpuinfoRate bogomips;   // the last "bogomips" line
  bool constant_tsc = false;
  bool nonstop_tsc = false;
  bool tsc_known_freq = false;
  KernelFrequency frequency;  // as it was just after init
  // The factor the library took at init, in ppm from 1, as its relative
  // clock (counter ticks times that factor) shows it.
  double clock_factor_ppm = 0.0;
};

Host ExamineHost();

// Why the kernel does not trust the counter, or empty where it does, by the
// rules and in the words of the Java binding's check
// (java/com/vornix/common/unix/CounterTrust.java): on x86-64 "tsc" must be
// among the available clocksources and the first flags line must hold
// constant_tsc and nonstop_tsc; on aarch64 "arch_sys_counter" must be among
// the clocksources. A file that cannot be read leaves the counter untrusted.
std::string CounterDistrust(const Host& host);

// The library's reading of an integer kernel file: a number followed by a
// newline or nothing, truncated to an int.
bool ParseKernelInt(const std::string& text, int* value);

// The file's first line, for display.
std::string FirstLine(const KernelFile& file);

}  // namespace accuracy

#endif  // TOOLS_ACCURACY_HOST_H_
