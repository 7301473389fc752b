// varnok_accuracy: how well the library's clocks hold on this host.
//
// First it reports what the epoch clock stands on here: the counter rate the
// library discovered and the kernel files it could have come from, the rate
// the counter really runs at against CLOCK_MONOTONIC_RAW, the counter's
// invariance flags and the kernel's clocksource. Then it samples the epoch
// clock between two CLOCK_REALTIME reads for a chosen time and reports the
// error, the steps where the library re-measures its drift (the first read
// of every span of 2^32 counter ticks), the granularity of the results and
// how far the relative clock moves away from CLOCK_MONOTONIC. Every sample
// goes to a CSV; gnuplot, when present, draws the error over time.

#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/timex.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <x86intrin.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "com_vornix_common_unix_Varnok.h"
#include "java/com/vornix/common/unix/base/sysinfo.h"
#include "java/com/vornix/common/unix/base/walltime.h"

namespace base = java_com_vornix_common_unix_base;

namespace {

// ---------------------------------------------------------------------------
// Options

struct Options {
  double seconds = 10.0;
  long interval_us = 100;
  std::string csv_path = "varnok_accuracy.csv";
  std::string png_path = "varnok_accuracy.png";
  bool png = true;
  bool busy = false;
  long max_rows = 1000000;
  long wide_ns = 5000;
};

void Usage(FILE* out) {
  fprintf(out,
          "usage: varnok_accuracy [options]\n"
          "  --seconds S       how long to sample the epoch clock (default 10)\n"
          "  --interval-us U   pause between samples in microseconds (default 100)\n"
          "  --busy            wait between samples by spinning, not sleeping\n"
          "  --csv PATH        where to write the samples (default varnok_accuracy.csv)\n"
          "  --png PATH        where to write the plot (default varnok_accuracy.png)\n"
          "  --no-png          write no plot\n"
          "  --max-rows N      keep at most about N rows in the CSV (default 1000000)\n"
          "  --wide-ns N       leave out of the statistics a sample whose\n"
          "                    CLOCK_REALTIME bracket is wider than N ns (default 5000)\n");
}

bool ParseDouble(const char* text, double* value) {
  char* end;
  *value = strtod(text, &end);
  return end != text && *end == '\0';
}

bool ParseLong(const char* text, long* value) {
  char* end;
  *value = strtol(text, &end, 10);
  return end != text && *end == '\0';
}

// Accepts "--name value" and "--name=value". Returns 0 to go on, or the exit
// status to stop with.
int ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::string value;
    bool has_value = false;
    const size_t equals = name.find('=');
    if (name.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
      has_value = true;
    }
    auto take_value = [&](const char* what) -> bool {
      if (has_value) return true;
      if (i + 1 >= argc) {
        fprintf(stderr, "varnok_accuracy: %s needs %s\n", name.c_str(), what);
        return false;
      }
      value = argv[++i];
      has_value = true;
      return true;
    };
    auto bad_value = [&]() {
      fprintf(stderr, "varnok_accuracy: bad value for %s: '%s'\n", name.c_str(),
              value.c_str());
      return 2;
    };
    if (name == "--help" || name == "-h") {
      Usage(stdout);
      return -1;
    } else if (name == "--seconds") {
      if (!take_value("a number of seconds")) return 2;
      if (!ParseDouble(value.c_str(), &options->seconds) ||
          !(options->seconds > 0) || options->seconds > 7 * 86400.0) {
        return bad_value();
      }
    } else if (name == "--interval-us") {
      if (!take_value("a number of microseconds")) return 2;
      if (!ParseLong(value.c_str(), &options->interval_us) ||
          options->interval_us < 0 || options->interval_us > 10000000) {
        return bad_value();
      }
    } else if (name == "--csv") {
      if (!take_value("a path")) return 2;
      if (value.empty()) return bad_value();
      options->csv_path = value;
    } else if (name == "--png") {
      if (!take_value("a path")) return 2;
      if (value.empty()) return bad_value();
      options->png_path = value;
      options->png = true;
    } else if (name == "--no-png" && !has_value) {
      options->png = false;
    } else if (name == "--busy" && !has_value) {
      options->busy = true;
    } else if (name == "--max-rows") {
      if (!take_value("a number of rows")) return 2;
      if (!ParseLong(value.c_str(), &options->max_rows) ||
          options->max_rows < 1) {
        return bad_value();
      }
    } else if (name == "--wide-ns") {
      if (!take_value("a number of nanoseconds")) return 2;
      if (!ParseLong(value.c_str(), &options->wide_ns) ||
          options->wide_ns < 1) {
        return bad_value();
      }
    } else {
      fprintf(stderr, "varnok_accuracy: unknown argument '%s'\n", argv[i]);
      Usage(stderr);
      return 2;
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Clocks

// The program reads the counter itself rather than through the library's
// exported reader: defining that reader here would put this copy in front of
// the library's own for the whole process.
inline uint64_t ReadCounter() { return __rdtsc(); }

inline int64_t ClockNs(clockid_t id) {
  struct timespec ts;
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

inline jlong EpochClock() {
  return Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(nullptr, nullptr);
}

inline jlong RelativeClock() {
  return Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(nullptr,
                                                              nullptr);
}

// A counter reading and a kernel clock reading taken at the same moment, as
// nearly as can be: of several tries, the one whose counter bracket around
// the clock read is narrowest, with the counter taken at its middle.
struct CounterAndClock {
  double counter;
  int64_t ns;
};

CounterAndClock PairCounterWith(clockid_t id) {
  CounterAndClock best = {0.0, 0};
  uint64_t best_width = UINT64_MAX;
  for (int i = 0; i < 64; ++i) {
    const uint64_t before = ReadCounter();
    const int64_t ns = ClockNs(id);
    const uint64_t after = ReadCounter();
    if (after - before < best_width) {
      best_width = after - before;
      best.counter = static_cast<double>(before) +
                     static_cast<double>(after - before) / 2.0;
      best.ns = ns;
    }
  }
  return best;
}

// The relative clock and CLOCK_MONOTONIC at one moment, the latter doubled
// so that the middle of its bracket stays an integer.
struct RelativeAndMonotonic {
  int64_t relative;
  int64_t monotonic2;
};

RelativeAndMonotonic PairRelativeWithMonotonic() {
  RelativeAndMonotonic best = {0, 0};
  int64_t best_width = INT64_MAX;
  for (int i = 0; i < 64; ++i) {
    const int64_t before = ClockNs(CLOCK_MONOTONIC);
    const int64_t relative = RelativeClock();
    const int64_t after = ClockNs(CLOCK_MONOTONIC);
    if (after - before < best_width) {
      best_width = after - before;
      best.relative = relative;
      best.monotonic2 = before + after;
    }
  }
  return best;
}

// ---------------------------------------------------------------------------
// The host

bool ReadFirstLine(const char* path, std::string* line) {
  FILE* const f = fopen(path, "r");
  if (f == nullptr) return false;
  char buffer[4096];
  const bool ok = fgets(buffer, sizeof(buffer), f) != nullptr;
  fclose(f);
  if (!ok) return false;
  *line = buffer;
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) {
    line->pop_back();
  }
  return true;
}

// The library's own reading of an integer kernel file: the whole text up to
// a newline must be the number.
bool ParseKernelInt(const std::string& text, long* value) {
  if (text.empty()) return false;
  char* end;
  *value = strtol(text.c_str(), &end, 10);
  return end != text.c_str() && *end == '\0';
}

// "key\t\t: value\n" as "key: value".
std::string TidyCpuinfoLine(const char* raw) {
  std::string line = raw;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.pop_back();
  }
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return line;
  std::string key = line.substr(0, colon);
  while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) {
    key.pop_back();
  }
  size_t start = colon + 1;
  while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) {
    ++start;
  }
  return key + ": " + line.substr(start);
}

struct Host {
  std::string model;
  std::string kernel;
  bool tsc_freq_file = false;
  std::string tsc_freq_text;
  bool max_freq_file = false;
  std::string max_freq_text;
  bool cpuinfo = false;
  std::string mhz_line;       // first "cpu MHz" or "clock" line
  double mhz_rate = 0.0;      // its rate as the library would read it
  bool mhz_parsed = false;
  std::string bogomips_line;  // last "bogomips" line
  double bogomips_rate = 0.0;
  bool bogomips_parsed = false;
  bool constant_tsc = false;
  bool nonstop_tsc = false;
  bool tsc_known_freq = false;
  std::string clocksource;
  bool adjtimex_ok = false;
  double kernel_freq_ppm = 0.0;
  bool ntp_synchronised = false;
};

bool HasFlag(const std::string& flags, const char* flag) {
  const std::string wanted = std::string(" ") + flag + " ";
  return (" " + flags + " ").find(wanted) != std::string::npos;
}

Host ExamineHost() {
  Host host;
  struct utsname names;
  if (uname(&names) == 0) {
    host.kernel = std::string(names.sysname) + " " + names.release + " " +
                  names.version + " " + names.machine;
  }
  host.tsc_freq_file = ReadFirstLine("/sys/devices/system/cpu/cpu0/tsc_freq_khz",
                                     &host.tsc_freq_text);
  host.max_freq_file = ReadFirstLine(
      "/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq",
      &host.max_freq_text);
  if (!ReadFirstLine(
          "/sys/devices/system/clocksource/clocksource0/current_clocksource",
          &host.clocksource)) {
    host.clocksource = "(unknown)";
  }

  FILE* const f = fopen("/proc/cpuinfo", "r");
  if (f != nullptr) {
    host.cpuinfo = true;
    bool seen_flags = false;
    char line[8192];
    while (fgets(line, sizeof(line), f) != nullptr) {
      double value;
      if (host.mhz_line.empty() &&
          (strncmp(line, "cpu MHz", 7) == 0 || strncmp(line, "clock", 5) == 0)) {
        host.mhz_line = TidyCpuinfoLine(line);
        // The library's own patterns, so that the rate compares exactly.
        if (sscanf(line, "cpu MHz : %lf\n", &value) == 1 ||
            sscanf(line, "clock : %lfMHz", &value) == 1) {
          host.mhz_rate = value * 1000000;
          host.mhz_parsed = true;
        }
      } else if (strncmp(line, "bogomips", 8) == 0) {
        host.bogomips_line = TidyCpuinfoLine(line);
        host.bogomips_parsed = sscanf(line, "bogomips : %lf", &value) == 1;
        if (host.bogomips_parsed) host.bogomips_rate = value * 1000000;
      } else if (host.model.empty() && strncmp(line, "model name", 10) == 0) {
        host.model = TidyCpuinfoLine(line);
        host.model = host.model.substr(host.model.find(": ") + 2);
      } else if (!seen_flags && strncmp(line, "flags", 5) == 0) {
        seen_flags = true;
        const std::string flags = TidyCpuinfoLine(line);
        host.constant_tsc = HasFlag(flags, "constant_tsc");
        host.nonstop_tsc = HasFlag(flags, "nonstop_tsc");
        host.tsc_known_freq = HasFlag(flags, "tsc_known_freq");
      }
    }
    fclose(f);
  }
  if (host.model.empty()) host.model = "(unknown)";

  // Only reads the kernel's clock state: modes 0 changes nothing.
  struct timex tx;
  memset(&tx, 0, sizeof(tx));
  const int state = adjtimex(&tx);
  if (state != -1) {
    host.adjtimex_ok = true;
    host.kernel_freq_ppm = static_cast<double>(tx.freq) / 65536.0;
    host.ntp_synchronised = state != TIME_ERROR && !(tx.status & STA_UNSYNC);
  }
  return host;
}

bool SameRate(double a, double b) {
  return std::fabs(a - b) <= 1e-12 * std::fabs(b);
}

// Which source the discovered rate came from, by matching it against what
// each source holds, in the library's order of trust.
std::string RateSource(const Host& host, double rate) {
  long khz;
  if (host.tsc_freq_file && ParseKernelInt(host.tsc_freq_text, &khz) &&
      SameRate(rate, static_cast<double>(khz) * 1000.0)) {
    return "tsc_freq_khz";
  }
  if (host.max_freq_file && ParseKernelInt(host.max_freq_text, &khz) &&
      SameRate(rate, static_cast<double>(khz) * 1000.0)) {
    return "cpuinfo_max_freq";
  }
  if (host.mhz_parsed && SameRate(rate, host.mhz_rate)) {
    return "/proc/cpuinfo " +
           host.mhz_line.substr(0, host.mhz_line.find(':')) + " line";
  }
  if (host.bogomips_parsed && SameRate(rate, host.bogomips_rate)) {
    return "/proc/cpuinfo bogomips line";
  }
  return "none of the files: measured by the library across a one-second sleep";
}

void PrintHost(const Host& host, double rate) {
  printf("== Host\n");
  printf("CPU model:            %s\n", host.model.c_str());
  printf("kernel:               %s\n", host.kernel.c_str());
  printf("clocksource:          %s\n", host.clocksource.c_str());
  if (host.adjtimex_ok) {
    printf("kernel frequency correction: %+.3f ppm (%s)\n",
           host.kernel_freq_ppm,
           host.ntp_synchronised ? "clock synchronised"
                                 : "clock not synchronised");
  }
  printf("\n== Counter rate\n");
  printf("discovered by the library: %.0f Hz (%.6f MHz)\n", rate, rate / 1e6);
  printf("  taken from: %s\n", RateSource(host, rate).c_str());
  printf("sources on this host, in the library's order:\n");
  printf("  1. /sys/devices/system/cpu/cpu0/tsc_freq_khz:            %s\n",
         host.tsc_freq_file ? host.tsc_freq_text.c_str() : "absent");
  printf("  2. /sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq: %s\n",
         host.max_freq_file ? host.max_freq_text.c_str() : "absent");
  if (host.cpuinfo) {
    printf("  3. /proc/cpuinfo first MHz line:   %s\n",
           host.mhz_line.empty() ? "absent" : host.mhz_line.c_str());
    printf("     /proc/cpuinfo last bogomips line: %s\n",
           host.bogomips_line.empty() ? "absent" : host.bogomips_line.c_str());
  } else {
    printf("  3. /proc/cpuinfo: unreadable\n");
  }
  printf("\n== Counter invariance\n");
  printf("constant_tsc:   %s\n", host.constant_tsc ? "present" : "MISSING");
  printf("nonstop_tsc:    %s\n", host.nonstop_tsc ? "present" : "MISSING");
  printf("tsc_known_freq: %s\n", host.tsc_known_freq ? "present" : "absent");
  if (!host.constant_tsc || !host.nonstop_tsc) {
    printf(
        "WARNING: the time-stamp counter is not invariant on this host. Its\n"
        "rate may follow the core's frequency, or it may stop in deep idle\n"
        "states; the epoch clock assumes one fixed rate and can be wrong by\n"
        "far more than the figures below between its corrections.\n");
  }
  if (host.clocksource != "tsc") {
    printf(
        "note: the kernel keeps time with '%s', not with the counter; on bare\n"
        "metal that usually means it found the counter unstable.\n",
        host.clocksource.c_str());
  }
  fflush(stdout);
}

// ---------------------------------------------------------------------------
// Statistics

// Values are counted, not kept: a long run needs only one entry per distinct
// value. Errors are kept in half nanoseconds, so the middle of a bracket is
// exact.
typedef std::map<int64_t, uint64_t> Histogram;

uint64_t Total(const Histogram& h) {
  uint64_t n = 0;
  for (const auto& entry : h) n += entry.second;
  return n;
}

// Nearest rank: the smallest value with at least fraction p of all values at
// or below it.
int64_t Percentile(const Histogram& h, double p) {
  const uint64_t n = Total(h);
  if (n == 0) return 0;
  uint64_t rank = static_cast<uint64_t>(std::ceil(p * static_cast<double>(n)));
  if (rank < 1) rank = 1;
  uint64_t seen = 0;
  for (const auto& entry : h) {
    seen += entry.second;
    if (seen >= rank) return entry.first;
  }
  return h.rbegin()->first;
}

double Mean(const Histogram& h) {
  const uint64_t n = Total(h);
  if (n == 0) return 0.0;
  double sum = 0.0;
  for (const auto& entry : h) {
    sum += static_cast<double>(entry.first) * static_cast<double>(entry.second);
  }
  return sum / static_cast<double>(n);
}

// A change of the library's drift: the first read of a new cycle epoch.
struct Step {
  double seconds;          // when, since the start
  uint64_t cycle_epoch;    // the counter's top 32 bits there
  float drift_before;
  float drift_after;
  // Errors in ns. One sample carries up to about 250 ns of rounding, so the
  // offsets on either side are means of several clean samples. The
  // re-measuring read itself returns the operating system's wall clock,
  // truncated to the microsecond, rather than the counter plus the new
  // drift: it belongs to neither side.
  double error_before;     // mean of the last clean samples before it
  double error_at;         // the re-measuring read
  double error_after;      // mean of the first clean samples after it
  int after_count;         // how many samples error_after has so far
  int64_t bracket_ns;      // the re-measuring read's bracket
  bool has_before;
  bool has_at;
};

// Clean samples averaged on each side of a boundary.
const int kStepSide = 32;

struct Row {
  double seconds;
  int64_t epoch_ns;
  int64_t error2;
  int64_t bracket_ns;
  bool wide;
  float drift;
  uint64_t cycle_epoch;
  int64_t relative_minus_monotonic2;
  int64_t monotonic_bracket_ns;
};

void WriteRow(FILE* csv, const Row& row) {
  fprintf(csv,
          "%.6f,%" PRId64 ",%.1f,%" PRId64 ",%d,%.9e,%" PRIu64 ",%.1f,%" PRId64
          "\n",
          row.seconds, row.epoch_ns, static_cast<double>(row.error2) / 2.0,
          row.bracket_ns, row.wide ? 1 : 0, static_cast<double>(row.drift),
          row.cycle_epoch,
          static_cast<double>(row.relative_minus_monotonic2) / 2.0,
          row.monotonic_bracket_ns);
}

double Us(int64_t half_ns) { return static_cast<double>(half_ns) / 2000.0; }

// ---------------------------------------------------------------------------
// The plot

bool CommandExists(const char* name) {
  const std::string command =
      std::string("command -v ") + name + " >/dev/null 2>&1";
  const int status = system(command.c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct PlotFacts {
  std::string title;
  std::string subtitle;
  double p99_abs_us;
  double seconds;  // the length of the run, the x axis
  long wide_ns;     // brackets wider than this are left out
  std::vector<double> boundaries;
};

// Text for a double-quoted gnuplot string.
std::string ForGnuplot(std::string text) {
  std::replace(text.begin(), text.end(), '"', '\'');
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

bool RunGnuplot(const char* terminal, const std::string& csv,
                const std::string& png, const PlotFacts& facts) {
  FILE* const gp = popen("gnuplot", "w");
  if (gp == nullptr) return false;
  fprintf(gp, "set encoding utf8\n");
  fprintf(gp, "set terminal %s size 900,450 font 'Sans,9'\n", terminal);
  fprintf(gp, "set output '%s'\n", png.c_str());
  fprintf(gp, "set datafile separator ','\n");
  fprintf(gp, "set key off\n");
  fprintf(gp, "set multiplot\n");
  fprintf(gp, "set lmargin 11\nset rmargin 3\n");
  fprintf(gp, "set xrange [0:%.6f]\n", facts.seconds);
  // Plain text: names such as CLOCK_REALTIME must not turn into subscripts.
  fprintf(gp, "set label 1 \"%s\" at screen 0.5, screen 0.975 center "
              "noenhanced\n", ForGnuplot(facts.title).c_str());
  fprintf(gp, "set label 2 \"%s\" at screen 0.5, screen 0.935 center "
              "font 'Sans,8' noenhanced\n", ForGnuplot(facts.subtitle).c_str());
  // Top: the error of every clean sample, the p99 band and the boundaries
  // where the library re-measured its drift.
  fprintf(gp, "set origin 0,0.33\nset size 1,0.59\n");
  fprintf(gp, "set tmargin 0.5\nset bmargin 0.5\n");
  fprintf(gp, "set format x ''\n");
  fprintf(gp, "set ylabel 'epoch − REALTIME (µs)'\n");
  fprintf(gp, "set grid ytics lc rgb '#e0e0e0'\n");
  int arrow = 1;
  for (double t : facts.boundaries) {
    fprintf(gp, "set arrow %d from %.6f, graph 0 to %.6f, graph 1 nohead "
                "dt 3 lc rgb '#b0b0b0'\n", arrow++, t, t);
  }
  // The p99 band as functions, so that gnuplot clips them to the panel.
  fprintf(gp, "p99 = %.6f\n", facts.p99_abs_us);
  fprintf(gp, "plot '%s' every ::1 using 1:($5 == 0 ? $3 / 1000.0 : 1/0) "
              "with dots lc rgb '#1f5fa0', p99 with lines dt 2 lc rgb '#c03030', "
              "-p99 with lines dt 2 lc rgb '#c03030'\n", csv.c_str());
  // Bottom: the relative clock against CLOCK_MONOTONIC.
  fprintf(gp, "unset arrow\nunset label\n");
  fprintf(gp, "set origin 0,0\nset size 1,0.33\n");
  fprintf(gp, "set tmargin 0.5\nset bmargin 3\n");
  fprintf(gp, "set format x '%%g'\n");
  fprintf(gp, "set xlabel 'seconds since start'\n");
  fprintf(gp, "set ylabel 'relative − MONOTONIC (µs)'\n");
  // Only where the monotonic bracket was narrow, as for the error.
  fprintf(gp, "plot '%s' every ::1 using 1:($9 <= %ld ? $8 / 1000.0 : 1/0) "
              "with lines lc rgb '#2a8a3a'\n", csv.c_str(), facts.wide_ns);
  fprintf(gp, "unset multiplot\n");
  const int status = pclose(gp);
  struct stat st;
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
         stat(png.c_str(), &st) == 0 && st.st_size > 0;
}

bool Plot(const std::string& csv, const std::string& png,
          const PlotFacts& facts) {
  if (!CommandExists("gnuplot")) {
    printf("plot: gnuplot is not installed, so no PNG was written "
           "(the CSV is complete).\n");
    return false;
  }
  // The paths go into gnuplot's single-quoted strings.
  if (csv.find('\'') != std::string::npos ||
      png.find('\'') != std::string::npos) {
    printf("plot: a path contains a single quote; no PNG was written.\n");
    return false;
  }
  remove(png.c_str());
  if (RunGnuplot("pngcairo", csv, png, facts) ||
      RunGnuplot("png", csv, png, facts)) {
    printf("plot: %s\n", png.c_str());
    return true;
  }
  printf("plot: gnuplot failed; no PNG was written.\n");
  return false;
}

void SleepUntil(int64_t deadline_ns, bool busy) {
  if (busy) {
    while (ClockNs(CLOCK_MONOTONIC) < deadline_ns) {
    }
    return;
  }
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(deadline_ns / 1000000000);
  ts.tv_nsec = static_cast<long>(deadline_ns % 1000000000);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) != 0) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;

  // A short pause between samples should last about as long as asked.
  prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);

  // Opened first: a bad path should fail before a long run, not after.
  FILE* const csv = fopen(options.csv_path.c_str(), "w");
  if (csv == nullptr) {
    perror(options.csv_path.c_str());
    return 1;
  }

  const CounterAndClock raw_start = PairCounterWith(CLOCK_MONOTONIC_RAW);
  Java_com_vornix_common_unix_Varnok_init(nullptr, nullptr);
  const double rate = base::CyclesPerSecond();
  const Host host = ExamineHost();
  PrintHost(host, rate);

  // Granularity of back-to-back reads: the smallest step the clock can show.
  int64_t smallest_step = INT64_MAX;
  uint64_t burst_distinct = 0;
  const int kBurst = 200000;
  {
    int64_t previous = EpochClock();
    for (int i = 0; i < kBurst; ++i) {
      const int64_t now = EpochClock();
      if (now != previous) {
        ++burst_distinct;
        if (now > previous) smallest_step = std::min(smallest_step, now - previous);
      }
      previous = now;
    }
  }

  static char csv_buffer[1 << 20];
  setvbuf(csv, csv_buffer, _IOFBF, sizeof(csv_buffer));
  fprintf(csv,
          "seconds_since_start,epoch_ns,error_ns,bracket_ns,wide,drift_s,"
          "cycle_epoch,relative_minus_monotonic_ns,monotonic_bracket_ns\n");

  // Keep every sample while the CSV stays under the row limit, else every
  // n-th, plus both sides of every cycle-epoch boundary.
  const double expected_samples =
      options.seconds * 1e6 / static_cast<double>(std::max(options.interval_us, 1L));
  const uint64_t stride = std::max<uint64_t>(
      1, static_cast<uint64_t>(
             std::ceil(expected_samples / static_cast<double>(options.max_rows))));

  printf("\n== Sampling\n");
  printf("sampling the epoch clock for %g s, every %ld us (%s)...\n",
         options.seconds, options.interval_us,
         options.busy ? "spinning" : "sleeping");
  fflush(stdout);

  Histogram error_hist, abs_error_hist, bracket_hist;
  std::vector<Step> steps;
  uint64_t samples = 0, wide = 0, rows = 0;
  uint64_t epoch_changes = 0, drift_changes = 0;
  uint64_t not_multiple_of_256 = 0, backwards = 0;
  int64_t largest_backwards = 0;
  uint64_t values_gcd = 0;

  const RelativeAndMonotonic rel_start = PairRelativeWithMonotonic();
  const int64_t mono_start2 = rel_start.monotonic2;
  const int64_t run_ns = static_cast<int64_t>(options.seconds * 1e9);
  const int64_t interval_ns = static_cast<int64_t>(options.interval_us) * 1000;
  const int64_t end_ns = mono_start2 / 2 + run_ns;

  Row previous_row = {};
  bool previous_written = true;
  bool have_previous = false;
  // The last clean errors of the current cycle epoch, in half ns.
  int64_t recent[kStepSide];
  int recent_count = 0, recent_next = 0;
  bool step_pending = false;
  int64_t deadline = mono_start2 / 2;

  for (;;) {
    // The measurement: the epoch clock between two wall-clock reads.
    const int64_t real_before = ClockNs(CLOCK_REALTIME);
    const int64_t epoch = EpochClock();
    const int64_t real_after = ClockNs(CLOCK_REALTIME);
    // After the epoch read, whose own counter read came no later: a new
    // cycle epoch here means that read re-measured, save when the boundary
    // fell in the few nanoseconds between the two.
    const uint64_t counter = ReadCounter();
    const float drift = base::GetDrift();
    const int64_t mono_before = ClockNs(CLOCK_MONOTONIC);
    const int64_t relative = RelativeClock();
    const int64_t mono_after = ClockNs(CLOCK_MONOTONIC);

    Row row;
    row.seconds = static_cast<double>(mono_before + mono_after - mono_start2) / 2e9;
    row.epoch_ns = epoch;
    row.error2 = 2 * epoch - (real_before + real_after);
    row.bracket_ns = real_after - real_before;
    row.wide = row.bracket_ns > options.wide_ns;
    row.drift = drift;
    row.cycle_epoch = counter >> 32;
    row.relative_minus_monotonic2 =
        2 * (relative - rel_start.relative) - (mono_before + mono_after - mono_start2);
    row.monotonic_bracket_ns = mono_after - mono_before;
    ++samples;

    values_gcd = std::gcd(values_gcd, static_cast<uint64_t>(epoch));
    if (epoch % 256 != 0) ++not_multiple_of_256;
    bracket_hist[row.bracket_ns]++;
    if (row.wide) {
      ++wide;
    } else {
      error_hist[row.error2]++;
      abs_error_hist[row.error2 < 0 ? -row.error2 : row.error2]++;
    }


    bool boundary = false;
    if (have_previous) {
      if (row.epoch_ns < previous_row.epoch_ns) {
        ++backwards;
        largest_backwards =
            std::max<int64_t>(largest_backwards, previous_row.epoch_ns - row.epoch_ns);
      }
      const bool new_epoch = row.cycle_epoch != previous_row.cycle_epoch;
      const bool new_drift =
          memcmp(&row.drift, &previous_row.drift, sizeof(float)) != 0;
      if (new_epoch) ++epoch_changes;
      if (new_drift) ++drift_changes;
      // Either sign will do: the drift is a difference of two doubles near
      // 2^31 seconds, so it moves in steps of 2^-22 s and a re-measurement
      // often finds the same value again.
      if (new_epoch || new_drift) {
        boundary = true;
        Step step = {};
        step.seconds = row.seconds;
        step.cycle_epoch = row.cycle_epoch;
        step.drift_before = previous_row.drift;
        step.drift_after = row.drift;
        step.bracket_ns = row.bracket_ns;
        step.has_before = recent_count > 0;
        double sum = 0.0;
        for (int i = 0; i < recent_count; ++i) {
          sum += static_cast<double>(recent[i]);
        }
        step.error_before = recent_count > 0 ? sum / recent_count / 2.0 : 0.0;
        step.has_at = !row.wide;
        step.error_at = static_cast<double>(row.error2) / 2.0;
        // A step still open here closes with the samples it has.
        steps.push_back(step);
        step_pending = true;
        recent_count = 0;
        recent_next = 0;
      }
    }
    if (!row.wide && !boundary) {
      recent[recent_next] = row.error2;
      recent_next = (recent_next + 1) % kStepSide;
      recent_count = std::min(recent_count + 1, kStepSide);
      if (step_pending) {
        Step& step = steps.back();
        step.error_after =
            (step.error_after * step.after_count +
             static_cast<double>(row.error2) / 2.0) / (step.after_count + 1);
        if (++step.after_count == kStepSide) step_pending = false;
      }
    }

    if (boundary && !previous_written) {
      WriteRow(csv, previous_row);
      ++rows;
    }
    const bool keep = boundary || (samples - 1) % stride == 0;
    if (keep) {
      WriteRow(csv, row);
      ++rows;
    }
    previous_row = row;
    previous_written = keep;
    have_previous = true;

    const int64_t now = ClockNs(CLOCK_MONOTONIC);
    if (now >= end_ns) break;
    deadline += interval_ns;
    // Behind schedule (a long preemption): start counting from now rather
    // than catching up with a burst of samples.
    if (deadline < now) deadline = now;
    if (interval_ns > 0) SleepUntil(std::min(deadline, end_ns), options.busy);
  }

  const RelativeAndMonotonic rel_end = PairRelativeWithMonotonic();
  const CounterAndClock raw_end = PairCounterWith(CLOCK_MONOTONIC_RAW);

  const bool csv_ok = fclose(csv) == 0;
  if (!csv_ok) {
    perror(options.csv_path.c_str());
  }

  // --- The rate against CLOCK_MONOTONIC_RAW over the whole run.
  const double raw_seconds = static_cast<double>(raw_end.ns - raw_start.ns) / 1e9;
  const double measured_rate = (raw_end.counter - raw_start.counter) / raw_seconds;
  const double rate_ppm = (rate / measured_rate - 1.0) * 1e6;
  const double epoch_seconds = 4294967296.0 / measured_rate;

  printf("\n== Counter rate against CLOCK_MONOTONIC_RAW\n");
  printf("measured over %.3f s: %.0f Hz (%.6f MHz)\n", raw_seconds,
         measured_rate, measured_rate / 1e6);
  printf("discovered rate differs by %+.3f ppm; a cycle epoch lasts %.3f s, so\n"
         "the rate alone moves the epoch clock by up to %.3f us before each\n"
         "re-measurement.\n",
         rate_ppm, epoch_seconds, std::fabs(rate_ppm) * epoch_seconds);
  printf(
      "Why this matters: on many machines \"cpu MHz\" is the core's current\n"
      "frequency and cpuinfo_max_freq a turbo ceiling, neither the counter's\n"
      "rate. A difference of a few ppm means the rate can be trusted here; tens\n"
      "of thousands of ppm mean the library took a core frequency for it.\n");
  if (host.clocksource == "tsc") {
    printf(
        "(The kernel's clocksource is the counter itself, so CLOCK_MONOTONIC_RAW\n"
        "is this counter scaled by the kernel's own calibration: the figure\n"
        "compares the library's rate with the kernel's, not with a reference.)\n");
  }

  // --- The epoch clock's error.
  const uint64_t clean = samples - wide;
  printf("\n== Epoch clock minus CLOCK_REALTIME (middle of the bracket)\n");
  printf("samples: %" PRIu64 " over %.3f s; %" PRIu64 " clean, %" PRIu64
         " left out (bracket > %ld ns)\n",
         samples, previous_row.seconds, clean, wide, options.wide_ns);
  printf("bracket width: median %" PRId64 " ns, p99 %" PRId64 " ns, max %" PRId64
         " ns\n",
         Percentile(bracket_hist, 0.5), Percentile(bracket_hist, 0.99),
         bracket_hist.empty() ? 0 : bracket_hist.rbegin()->first);
  double p99_abs_us = 0.0;
  if (clean > 0) {
    p99_abs_us = Us(Percentile(abs_error_hist, 0.99));
    const double max_abs_us = Us(abs_error_hist.rbegin()->first);
    printf("error: median %+.3f us, mean %+.3f us\n",
           Us(Percentile(error_hist, 0.5)), Mean(error_hist) / 2000.0);
    printf("       p1 %+.3f us, p99 %+.3f us\n", Us(Percentile(error_hist, 0.01)),
           Us(Percentile(error_hist, 0.99)));
    printf("       |error| p99 %.3f us, max %.3f us\n", p99_abs_us, max_abs_us);
    printf("target: p99 |error| within 5 us: %s\n",
           p99_abs_us <= 5.0 ? "met" : "MISSED");
  } else {
    printf("error: no clean samples\n");
  }

  // --- Steps where the library re-measured its drift.
  printf("\n== Steps at cycle-epoch boundaries\n");
  printf("cycle-epoch changes seen: %" PRIu64 "; drift changes: %" PRIu64 "\n",
         epoch_changes, drift_changes);
  printf(
      "before/after: mean error of the last/first %d clean samples of the old\n"
      "and new epoch; at: the read that re-measured the drift (it returns\n"
      "gettimeofday, truncated to the microsecond); step = after - before, as\n"
      "measured; jump = the change of the library's drift, which is exactly\n"
      "how far the clock's value moves; read: the re-measuring read's\n"
      "CLOCK_REALTIME bracket. Times in us unless marked.\n", kStepSide);
  printf("  %8s %6s %8s %8s %8s %8s %8s %9s %9s\n", "t (s)", "epoch",
         "before", "at", "after", "step", "jump", "read (ns)", "drift");
  std::vector<double> step_sizes, jumps;
  double at_sum = 0.0, after_sum = 0.0;
  int at_count = 0, after_count = 0;
  double after_low = 0.0, after_high = 0.0;
  for (const Step& step : steps) {
    char before[32] = "-", at[32] = "-", after[32] = "-", size[32] = "-";
    const double jump = (static_cast<double>(step.drift_after) -
                         static_cast<double>(step.drift_before)) * 1e6;
    jumps.push_back(jump);
    if (step.has_before) snprintf(before, sizeof(before), "%+.3f", step.error_before / 1e3);
    if (step.has_at) {
      snprintf(at, sizeof(at), "%+.3f", step.error_at / 1e3);
      at_sum += step.error_at;
      ++at_count;
    }
    if (step.after_count > 0) {
      snprintf(after, sizeof(after), "%+.3f", step.error_after / 1e3);
      after_low = after_count == 0 ? step.error_after : std::min(after_low, step.error_after);
      after_high = after_count == 0 ? step.error_after : std::max(after_high, step.error_after);
      after_sum += step.error_after;
      ++after_count;
    }
    if (step.has_before && step.after_count > 0) {
      const double change = (step.error_after - step.error_before) / 1e3;
      snprintf(size, sizeof(size), "%+.3f", change);
      step_sizes.push_back(change);
    }
    printf("  %8.3f %6" PRIu64 " %8s %8s %8s %8s %+8.3f %9" PRId64 " %+9.3f\n",
           step.seconds, step.cycle_epoch, before, at, after, size, jump,
           step.bracket_ns, static_cast<double>(step.drift_after) * 1e6);
  }
  if (at_count > 0) {
    printf("re-measuring reads: mean error %+.3f us\n", at_sum / at_count / 1e3);
  }
  if (after_count > 0) {
    printf("offset each re-measurement leaves (after): mean %+.3f us, "
           "from %+.3f to %+.3f us\n",
           after_sum / after_count / 1e3, after_low / 1e3, after_high / 1e3);
  }
  if (!step_sizes.empty()) {
    std::sort(step_sizes.begin(), step_sizes.end());
    const auto down = std::count_if(step_sizes.begin(), step_sizes.end(),
                                    [](double x) { return x < 0; });
    double abs_sum = 0.0;
    for (double x : step_sizes) abs_sum += std::fabs(x);
    printf("steps: %zu measured, %ld down (two reads closer than such a step"
           " can see time go back);\n"
           "       smallest %+.3f us, median %+.3f us, largest %+.3f us, "
           "mean size %.3f us\n",
           step_sizes.size(), static_cast<long>(down), step_sizes.front(),
           step_sizes[step_sizes.size() / 2], step_sizes.back(),
           abs_sum / static_cast<double>(step_sizes.size()));
  }
  if (!jumps.empty()) {
    std::sort(jumps.begin(), jumps.end());
    printf("jumps (drift changes): from %+.3f to %+.3f us\n", jumps.front(),
           jumps.back());
  }

  // --- Granularity.
  printf("\n== Granularity\n");
  printf("gcd of all sampled values: %" PRIu64 " ns; values not a multiple of "
         "256 ns: %" PRIu64 "\n",
         values_gcd, not_multiple_of_256);
  if (smallest_step != INT64_MAX) {
    printf("back-to-back reads: %d, %" PRIu64 " changes of value, smallest "
           "step up %" PRId64 " ns\n",
           kBurst, burst_distinct, smallest_step);
  }
  printf("consecutive samples going back: %" PRIu64 " (largest %" PRId64 " ns)\n",
         backwards, largest_backwards);

  // --- The relative clock against CLOCK_MONOTONIC.
  const double mono_elapsed = static_cast<double>(rel_end.monotonic2 - mono_start2) / 2.0;
  const double rel_elapsed = static_cast<double>(rel_end.relative - rel_start.relative);
  const double rel_diff = rel_elapsed - mono_elapsed;
  printf("\n== Relative clock against CLOCK_MONOTONIC\n");
  printf("over %.3f s the relative clock advanced %+.3f us more than "
         "CLOCK_MONOTONIC (%+.3f ppm)\n",
         mono_elapsed / 1e9, rel_diff / 1e3, rel_diff / mono_elapsed * 1e6);
  printf("at that rate an epoch clock's error grows by %+.3f us per cycle epoch\n",
         rel_diff / mono_elapsed * epoch_seconds * 1e6);

  printf("\n== Output\n");
  printf("csv: %s (%" PRIu64 " rows%s)\n", options.csv_path.c_str(), rows,
         stride > 1 ? ", decimated" : "");
  if (options.png && csv_ok) {
    PlotFacts facts;
    char text[512];
    snprintf(text, sizeof(text),
             "libvarnok_jni epoch clock minus CLOCK_REALTIME, %.0f s on %s "
             "(clocksource %s)",
             previous_row.seconds, host.model.c_str(), host.clocksource.c_str());
    facts.title = text;
    snprintf(text, sizeof(text),
             "%" PRIu64 " samples; median %+.3f µs, p99 |error| %.3f µs (red), "
             "max %.3f µs; grey: drift re-measured at a cycle-epoch boundary",
             clean, Us(Percentile(error_hist, 0.5)), p99_abs_us,
             clean > 0 ? Us(abs_error_hist.rbegin()->first) : 0.0);
    facts.subtitle = text;
    facts.p99_abs_us = p99_abs_us;
    facts.seconds = previous_row.seconds;
    facts.wide_ns = options.wide_ns;
    for (const Step& step : steps) facts.boundaries.push_back(step.seconds);
    Plot(options.csv_path, options.png_path, facts);
  }
  if (!csv_ok) return 1;
  return clean > 0 ? 0 : 1;
}
