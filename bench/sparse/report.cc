#include "bench/sparse/report.h"

#include <dlfcn.h>
#include <jni.h>
#include <sys/timex.h>
#include <unistd.h>

#include <fstream>

#include "com_vornix_common_unix_Varnok.h"
#include "java/com/vornix/common/unix/base/sysinfo.h"

namespace sparse {

namespace {

std::string Format(const char* format, double value) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// 40 ns, 5.62 us, 16.2 us: about three figures.
std::string Time(double ns) {
  if (ns < 1000) return Format("%.0f ns", ns);
  if (ns < 10000) return Format("%.2f µs", ns / 1000);
  return Format("%.1f µs", ns / 1000);
}

std::string Gap(int64_t ns) {
  const double v = static_cast<double>(ns);
  if (ns % 1000000 == 0) return Format("%g ms", v / 1e6);
  if (ns >= 1000) return Format("%g µs", v / 1e3);
  return Format("%g ns", v);
}

// As the tables' rows name it.
std::string Reads(int64_t gap_ns) {
  return gap_ns == 0 ? "in a loop" : "one every " + Gap(gap_ns);
}

std::string Pair(const Figures& f) {
  if (f.p99 < 1000) return Format("%.0f", f.median) + " / " + Time(f.p99);
  return Time(f.median) + " / " + Time(f.p99);
}

std::string Ratio(double numerator, double denominator) {
  return denominator > 0 ? Format("%.2fx", numerator / denominator) : "-";
}

std::string Ratios(const Figures& a, const Figures& b) {
  return Ratio(a.median, b.median) + " / " + Ratio(a.p99, b.p99);
}

std::string KernelClock(const accuracy::KernelFrequency& k) {
  if (!k.ok) return "unknown (adjtimex cannot be read)";
  char detail[160];
  snprintf(detail, sizeof detail,
           " (adjtimex: freq %+.3f ppm, tick %ld us, status %s)", k.freq_ppm,
           k.tick_us, accuracy::StatusText(k.status).c_str());
  return (Disciplined(k) ? "disciplined" : "undisciplined") +
         std::string(detail);
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  if (!(in >> one >> five >> fifteen)) return "unknown";
  return one + " " + five + " " + fifteen;
}

}  // namespace

Machine DescribeMachine() {
  Machine m;
  m.host = accuracy::ExamineHost();
  m.cpus = sysconf(_SC_NPROCESSORS_ONLN);
  m.counter_hz = java_com_vornix_common_unix_base::CyclesPerSecond();
  Dl_info info;
  const void* const init =
      reinterpret_cast<const void*>(&Java_com_vornix_common_unix_Varnok_init);
  m.library = dladdr(init, &info) != 0 && info.dli_fname != nullptr
                  ? info.dli_fname
                  : "unknown";
  m.load = LoadAverage();
  return m;
}

bool Disciplined(const accuracy::KernelFrequency& k) {
  return !(k.status & STA_UNSYNC) || (k.status & (STA_PLL | STA_FLL)) != 0 ||
         k.freq_ppm != 0 || k.tick_us != k.nominal_tick_us;
}

GapResult SummariseGap(const GapSamples& samples, double ns_per_tick) {
  GapResult r;
  r.gap_ns = samples.gap_ns;
  for (int c = 0; c < kClockCount; ++c) {
    r.clocks[c] = Summarise(samples.ticks[c], ns_per_tick);
  }
  r.achieved_gap_ns = Summarise(samples.achieved_gap_ticks, ns_per_tick).median;
  return r;
}

void PrintHeader(FILE* out, const Options& options, const Machine& m) {
  const accuracy::Host& h = m.host;
  fprintf(out,
          "Sparse reads: one call at a time, timed by rdtscp before and after "
          "it, after a gap\n"
          "CPU: %s, %ld logical CPUs\n"
          "kernel: %s\n"
          "clocksource: %s\n"
          "kernel clock: %s\n"
          "counter: %.3f MHz (the library's rate)\n"
          "library: %s\n"
          "load average: %s\n"
          "reads: %ld recorded per clock and gap, in blocks of %ld of one "
          "clock, each block after one unrecorded read; blocks shuffled "
          "(seed %lu)\n",
          h.model.c_str(), m.cpus, h.kernel.c_str(), h.clocksource.c_str(),
          KernelClock(h.frequency).c_str(), m.counter_hz / 1e6,
          m.library.c_str(), m.load.c_str(), options.samples, options.block,
          options.seed);
}

void PrintGap(FILE* out, const GapResult& g) {
  fprintf(out, "\n%s: from one call's end to the next one's start, median %s\n",
          Reads(g.gap_ns).c_str(), Time(g.achieved_gap_ns).c_str());
  fprintf(out, "%-36s %8s %9s %9s %9s %9s\n", "clock", "reads", "median ns",
          "p90 ns", "p99 ns", "max ns");
  for (int c = 0; c < kClockCount; ++c) {
    const Figures& f = g.clocks[c];
    fprintf(out, "%-36s %8zu %9.0f %9.0f %9.0f %9.0f\n", kClocks[c].label,
            f.count, f.median, f.p90, f.p99, f.max);
  }
  const Figures* const k = g.clocks;
  fprintf(out,
          "median / p99: epoch / REALTIME %s, epoch / MONOTONIC %s, "
          "relative / MONOTONIC %s\n",
          Ratios(k[kEpoch], k[kRealtime]).c_str(),
          Ratios(k[kEpoch], k[kMonotonic]).c_str(),
          Ratios(k[kRelative], k[kMonotonic]).c_str());
}

void PrintSummary(FILE* out, const Machine& m,
                  const std::vector<GapResult>& gaps) {
  fprintf(out,
          "\nKernel clock %s; %s; ns per call, median / p99\n\n"
          "| reads | Varnok epoch | `clock_gettime(REALTIME)` | ratio | "
          "Varnok relative | `clock_gettime(MONOTONIC)` | ratio | floor |\n"
          "|---|---:|---:|---:|---:|---:|---:|---:|\n",
          KernelClock(m.host.frequency).c_str(), m.host.model.c_str());
  for (const GapResult& g : gaps) {
    const Figures* const k = g.clocks;
    fprintf(out, "| %s | %s | %s | %s | %s | %s | %s | %s |\n",
            Reads(g.gap_ns).c_str(),
            Pair(k[kEpoch]).c_str(), Pair(k[kRealtime]).c_str(),
            Ratios(k[kEpoch], k[kRealtime]).c_str(), Pair(k[kRelative]).c_str(),
            Pair(k[kMonotonic]).c_str(),
            Ratios(k[kRelative], k[kMonotonic]).c_str(),
            Pair(k[kFloor]).c_str());
  }
}

void PrintCsv(FILE* out, const Machine& m, const std::vector<GapResult>& gaps) {
  const accuracy::KernelFrequency& k = m.host.frequency;
  fprintf(out,
          "kernel_clock,freq_ppm,gap_ns,achieved_gap_ns,clock,reads,"
          "median_ns,p90_ns,p99_ns,max_ns\n");
  for (const GapResult& g : gaps) {
    for (int c = 0; c < kClockCount; ++c) {
      const Figures& f = g.clocks[c];
      fprintf(out, "%s,%.3f,%lld,%.0f,%s,%zu,%.1f,%.1f,%.1f,%.1f\n",
              Disciplined(k) ? "disciplined" : "undisciplined", k.freq_ppm,
              static_cast<long long>(g.gap_ns), g.achieved_gap_ns,
              kClocks[c].key, f.count, f.median, f.p90, f.p99, f.max);
    }
  }
}

void PrintKernelChange(FILE* out, const accuracy::KernelFrequency& before,
                       const accuracy::KernelFrequency& after) {
  if (before.ok == after.ok && before.freq_ppm == after.freq_ppm &&
      before.tick_us == after.tick_us && before.status == after.status) {
    return;
  }
  fprintf(out,
          "\nWARNING: the kernel's clock changed during the run, from %s to "
          "%s; the figures mix both\n",
          KernelClock(before).c_str(), KernelClock(after).c_str());
}

}  // namespace sparse
