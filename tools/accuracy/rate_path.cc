#include "tools/accuracy/rate_path.h"

#include <stdarg.h>
#include <stdio.h>

namespace accuracy {

namespace {

// The library's bounds of a usable rate; it measures when a file's is not.
bool IsUsable(double rate) { return rate >= 1e8 && rate <= 1e11; }

// The rate discovery starts from, in the library's order of trust, computed
// as the library computes it so that a kept rate compares exactly.
void StartOfDiscovery(const Host& host, RatePath* trace) {
  int khz;
  if (host.tsc_freq_khz.present &&
      ParseKernelInt(host.tsc_freq_khz.text, &khz)) {
    trace->source = Source::kTscFreqKhz;
    trace->file_rate = khz * 1000.0;
  } else if (host.max_freq.present &&
             ParseKernelInt(host.max_freq.text, &khz)) {
    trace->source = Source::kMaxFreq;
    trace->file_rate = khz * 1000.0;
  } else if (host.mhz.found) {
    trace->source = Source::kMhzLine;
    trace->file_rate = host.mhz.rate;
  } else if (host.bogomips.found) {
    trace->source = Source::kBogomips;
    trace->file_rate = host.bogomips.rate;
  } else {
    trace->source = Source::kNone;
    trace->file_rate = 1.0;
  }
}

__attribute__((format(printf, 1, 2))) std::string Format(const char* format,
                                                          ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  return text;
}

std::string WhyMaxFreq(double file_rate, double counter_rate) {
  std::string why =
      "cpuinfo_max_freq is the highest core frequency, not the counter's "
      "rate: the turbo ceiling under intel_pstate, the nominal frequency "
      "plus 1 MHz under acpi-cpufreq with boost.";
  const double above = file_rate - counter_rate;
  if (above > 0.05 * counter_rate) {
    why += Format(" This one is %.0f%% above the counter's rate: a turbo "
                  "ceiling.", 100.0 * above / counter_rate);
  } else if (above > 0.5e6 && above < 1.5e6) {
    why += Format(" This one is %.3f MHz above the counter's rate: nominal "
                  "plus 1 MHz.", above / 1e6);
  }
  return why;
}

std::string WhyMhzLine(double file_rate, double counter_rate) {
  std::string why =
      "a \"cpu MHz\" line is the core's current frequency (APERF/MPERF), "
      "often the idle one; only a virtual machine's states the counter's "
      "rate.";
  if (file_rate < 0.95 * counter_rate) {
    why += Format(" This one is %.0f%% of the counter's rate: a core that "
                  "was running slower.", 100.0 * file_rate / counter_rate);
  }
  return why;
}

}  // namespace

RatePath TraceRatePath(const Host& host, double library_rate,
                       double counter_rate) {
  RatePath trace = {};
  // Without /proc/cpuinfo the library drops whatever sysfs gave it.
  if (host.cpuinfo) {
    StartOfDiscovery(host, &trace);
  } else {
    trace.source = Source::kNone;
    trace.file_rate = 1.0;
  }
  trace.cpuinfo_missing = !host.cpuinfo;
  trace.library_rate = library_rate;
  trace.counter_rate = counter_rate;
  if (!host.cpuinfo || !IsUsable(trace.file_rate)) {
    trace.path = Path::kMeasured;
  } else if (library_rate != trace.file_rate) {
    trace.path = Path::kReplaced;
  } else {
    trace.path = trace.source == Source::kTscFreqKhz ? Path::kAsIs
                                                     : Path::kKept;
  }
  return trace;
}

const char* PathName(Path path) {
  switch (path) {
    case Path::kAsIs: return "as-is";
    case Path::kKept: return "kept";
    case Path::kReplaced: return "replaced";
    case Path::kMeasured: return "measured";
  }
  return "?";
}

const char* SourceName(Source source) {
  switch (source) {
    case Source::kTscFreqKhz: return "tsc_freq_khz";
    case Source::kMaxFreq: return "cpuinfo_max_freq";
    case Source::kMhzLine: return "/proc/cpuinfo MHz line";
    case Source::kBogomips: return "/proc/cpuinfo bogomips line";
    case Source::kNone: return "no file";
  }
  return "?";
}

double Ppm(double rate, double reference) {
  return (rate / reference - 1.0) * 1e6;
}

std::string WhyDifferent(const RatePath& trace) {
  if (trace.path == Path::kMeasured) {
    return "a sleep overshoots, so a rate counted across one second reads "
           "high, typically by 100 to 200 ppm.";
  }
  switch (trace.source) {
    case Source::kTscFreqKhz:
      return "tsc_freq_khz is the kernel's own calibration of the counter.";
    case Source::kMaxFreq:
      return WhyMaxFreq(trace.file_rate, trace.counter_rate);
    case Source::kMhzLine:
      return WhyMhzLine(trace.file_rate, trace.counter_rate);
    case Source::kBogomips:
      return Format("on x86 bogomips is twice the counter's MHz; this one is "
                    "%.4f times the counter's rate.",
                    trace.file_rate / trace.counter_rate);
    case Source::kNone:
      break;
  }
  return "no file stated a rate.";
}

}  // namespace accuracy
