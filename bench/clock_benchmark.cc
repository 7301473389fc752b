// The cost of one reading of each clock, called natively: the library's JNI
// functions called directly (no JVM, so no JNI transition), its timing
// primitives through their exported symbols, the C library's clocks, and a
// bare inline rdtsc as the floor, and a unique stamp over the epoch clock,
// taken by a compare-and-set. Each case runs with one thread and with
// two threads at once. The counter-based cases and clock_gettime run once
// more one call at a time, for the latency of a call rather than the
// throughput of a loop.
//
// After the usual report, a summary prints each case's cost per call and
// per thread next to the floor, and how clock_gettime(CLOCK_REALTIME)
// compares with nanoTimeEpoch1.

#include <benchmark/benchmark.h>
#include <jni.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iostream>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "com_vornix_common_unix_Varnok.h"
#include "java/com/vornix/common/unix/base/sysinfo.h"
#include "java/com/vornix/common/unix/base/walltime.h"

// Declared here rather than taken from cycleclock.h: that header defines
// Now inline, and the compiler could then call (or inline) its own copy. The
// benchmark must pay what an outside caller of the library pays, a call
// through the PLT to the exported symbol.
namespace java_com_vornix_common_unix_base {
class CycleClock {
 public:
  static int64_t Now();
};
}  // namespace java_com_vornix_common_unix_base

namespace {

namespace base = java_com_vornix_common_unix_base;

// The floor: the counter read with nothing around it, as the library reads
// it (no fence).
inline uint64_t InlineRdtsc() {
  uint32_t lo, hi;
  __asm__ __volatile__("rdtsc" : "=a"(lo), "=d"(hi));
  return static_cast<uint64_t>(hi) << 32 | lo;
}

void BM_Rdtsc(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(InlineRdtsc());
}

void BM_CycleClockNow(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(base::CycleClock::Now());
}

void BM_GetDrift(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(base::GetDrift());
}

void BM_NanoTimeEpoch1(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(nullptr, nullptr));
  }
}

void BM_NanoTimeRelative1(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(nullptr,
                                                             nullptr));
  }
}

template <clockid_t kClock>
void BM_ClockGettime(benchmark::State& state) {
  for (auto _ : state) {
    struct timespec ts;
    clock_gettime(kClock, &ts);
    benchmark::DoNotOptimize(ts);
  }
}

void BM_Gettimeofday(benchmark::State& state) {
  for (auto _ : state) {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    benchmark::DoNotOptimize(tv);
  }
}

// The same calls one at a time: lfence waits until every earlier
// instruction has completed, so a call starts only when the previous result
// exists. The loops above measure throughput, where the work after one
// counter read overlaps the next read; these measure the latency from the
// start of a call to its result, which the surrounding code of a real
// caller (or a JNI transition) may not hide.
inline int64_t ReadRdtsc() { return static_cast<int64_t>(InlineRdtsc()); }
inline int64_t ReadCycleClock() { return base::CycleClock::Now(); }
inline int64_t ReadEpoch() {
  return Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(nullptr, nullptr);
}
inline int64_t ReadRelative() {
  return Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(nullptr,
                                                               nullptr);
}
inline int64_t ReadRealtime() {
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A unique stamp taken natively, by the rule VarnokTime.uniqueTimeNanos()
// follows in Java: the epoch clock's reading, or one past the last stamp,
// installed by a compare-and-set of a value on cache lines of its own. Java's
// compare-and-set is the same locked instruction, so this is what taking the
// stamp inside the library would cost, without a JVM around it.
struct alignas(128) StampCell {
  std::atomic<int64_t> last{INT64_MIN};
};
StampCell g_stamp_cell;

void BM_NanoTimeEpoch1Unique(benchmark::State& state) {
  for (auto _ : state) {
    const int64_t now = ReadEpoch();
    int64_t last = g_stamp_cell.last.load();
    int64_t next;
    do {
      next = now > last ? now : last + 1;
    } while (!g_stamp_cell.last.compare_exchange_weak(last, next));
    benchmark::DoNotOptimize(next);
  }
}

template <int64_t (*kRead)()>
void BM_Serialized(benchmark::State& state) {
  for (auto _ : state) {
    __asm__ __volatile__("lfence" ::: "memory");
    benchmark::DoNotOptimize(kRead());
  }
}

struct Case {
  const char* name;
  void (*function)(benchmark::State&);
};

// In the order of the summary.
const Case kCases[] = {
    {"rdtsc_inline", BM_Rdtsc},
    {"CycleClock_Now", BM_CycleClockNow},
    {"GetDrift", BM_GetDrift},
    {"nanoTimeEpoch1", BM_NanoTimeEpoch1},
    {"nanoTimeEpoch1_unique", BM_NanoTimeEpoch1Unique},
    {"nanoTimeRelative1", BM_NanoTimeRelative1},
    {"clock_gettime_REALTIME", BM_ClockGettime<CLOCK_REALTIME>},
    {"clock_gettime_MONOTONIC", BM_ClockGettime<CLOCK_MONOTONIC>},
    {"gettimeofday", BM_Gettimeofday},
};
const int kThreadCounts[] = {1, 2};

// One thread only: latency does not depend on the other core.
const Case kSerializedCases[] = {
    {"rdtsc_inline_serialized", BM_Serialized<ReadRdtsc>},
    {"CycleClock_Now_serialized", BM_Serialized<ReadCycleClock>},
    {"nanoTimeEpoch1_serialized", BM_Serialized<ReadEpoch>},
    {"nanoTimeRelative1_serialized", BM_Serialized<ReadRelative>},
    {"clock_gettime_REALTIME_serialized", BM_Serialized<ReadRealtime>},
};

double Median(std::vector<double> values) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Passes everything to the display reporter that --benchmark_format chose,
// keeps the per-repetition results, and adds the summary at the end.
class SummaryReporter : public benchmark::BenchmarkReporter {
 public:
  SummaryReporter(benchmark::BenchmarkReporter* display, std::ostream* out)
      : display_(display), out_(out) {}

  bool ReportContext(const Context& context) override {
    return display_->ReportContext(context);
  }

  void ReportRuns(const std::vector<Run>& runs) override {
    display_->ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // With n threads the library sums each thread's CPU time and each
      // thread's iterations, so their quotient is what one call costs the
      // thread that makes it. CPU time rather than wall time: on a shared
      // machine a preempted thread should not be charged for the wait.
      const double ns_per_call = run.GetAdjustedCPUTime() /
                                 benchmark::GetTimeUnitMultiplier(run.time_unit) *
                                 1e9;
      const Key key{run.run_name.function_name, run.threads};
      if (run.run_type == Run::RT_Iteration) {
        repetitions_[key].push_back(ns_per_call);
      } else if (run.aggregate_name == "median") {
        // All there is when only aggregates are reported.
        medians_[key] = ns_per_call;
      }
    }
  }

  void Finalize() override {
    display_->Finalize();
    PrintSummary();
  }

 private:
  // The median over the repetitions; 0 when the case did not run.
  double Cost(const std::string& name, int threads) const {
    const Key key{name, threads};
    auto it = repetitions_.find(key);
    if (it != repetitions_.end()) return Median(it->second);
    auto median = medians_.find(key);
    return median == medians_.end() ? 0.0 : median->second;
  }

  static std::string Fixed(double value, int decimals) {
    if (value <= 0.0) return "-";
    char buffer[32];
    snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
  }

  static std::string Ratio(double numerator, double denominator) {
    if (numerator <= 0.0 || denominator <= 0.0) return "-";
    return Fixed(numerator / denominator, 2) + "x";
  }

  void PrintSummary() const {
    std::ostream& out = *out_;
    char line[256];

    bool header = false;
    const double floor1 = Cost("rdtsc_inline", 1);
    const double floor2 = Cost("rdtsc_inline", 2);
    for (const Case& c : kCases) {
      const double one = Cost(c.name, 1);
      const double two = Cost(c.name, 2);
      if (one <= 0.0 && two <= 0.0) continue;
      if (!header) {
        out << "\nCost of one call, per calling thread: CPU time, median "
               "over repetitions\n";
        snprintf(line, sizeof line, "%-24s %9s %9s %7s %10s %10s\n", "case",
                 "1T ns", "2T ns", "2T/1T", "1T/rdtsc", "2T/rdtsc");
        out << line;
        header = true;
      }
      snprintf(line, sizeof line, "%-24s %9s %9s %7s %10s %10s\n", c.name,
               Fixed(one, 2).c_str(), Fixed(two, 2).c_str(),
               Ratio(two, one).c_str(), Ratio(one, floor1).c_str(),
               Ratio(two, floor2).c_str());
      out << line;
    }
    for (const int threads : kThreadCounts) {
      const double realtime = Cost("clock_gettime_REALTIME", threads);
      const double epoch = Cost("nanoTimeEpoch1", threads);
      if (realtime <= 0.0 || epoch <= 0.0) continue;
      snprintf(line, sizeof line,
               "clock_gettime(CLOCK_REALTIME) / nanoTimeEpoch1, %d thread%s: "
               "%s\n",
               threads, threads == 1 ? "" : "s",
               Ratio(realtime, epoch).c_str());
      out << line;
    }

    header = false;
    const double serialized_floor = Cost("rdtsc_inline_serialized", 1);
    for (const Case& c : kSerializedCases) {
      const double one = Cost(c.name, 1);
      if (one <= 0.0) continue;
      if (!header) {
        out << "\nOne call at a time (lfence before each): latency to the "
               "result, 1 thread\n";
        snprintf(line, sizeof line, "%-34s %9s %10s %9s\n", "case", "ns",
                 "/rdtsc", "+ns");
        out << line;
        header = true;
      }
      char extra[32] = "-";
      if (serialized_floor > 0.0) {
        snprintf(extra, sizeof extra, "%+.2f", one - serialized_floor);
      }
      snprintf(line, sizeof line, "%-34s %9s %10s %9s\n", c.name,
               Fixed(one, 2).c_str(), Ratio(one, serialized_floor).c_str(),
               extra);
      out << line;
    }
    out.flush();
  }

  benchmark::BenchmarkReporter* display_;
  std::ostream* out_;
  using Key = std::pair<std::string, int64_t>;
  std::map<Key, std::vector<double>> repetitions_;
  std::map<Key, double> medians_;
};

std::string FirstLineOf(const char* path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return "unknown";
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  // A machine-readable format owns standard output; the summary then goes
  // to standard error so that the output still parses.
  bool console = true;
  for (int i = 1; i < argc; ++i) {
    const char kFormat[] = "--benchmark_format=";
    if (strncmp(argv[i], kFormat, sizeof kFormat - 1) == 0 &&
        strcmp(argv[i] + sizeof kFormat - 1, "console") != 0) {
      console = false;
    }
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  // What the Java class does when it is initialised; every clock needs it.
  Java_com_vornix_common_unix_Varnok_init(nullptr, nullptr);

  char rate[64];
  snprintf(rate, sizeof rate, "%.0f", base::CyclesPerSecond());
  benchmark::AddCustomContext("varnok_cycles_per_second", rate);
  benchmark::AddCustomContext(
      "clocksource",
      FirstLineOf(
          "/sys/devices/system/clocksource/clocksource0/current_clocksource"));

  for (const Case& c : kCases) {
    benchmark::internal::Benchmark* b =
        benchmark::RegisterBenchmark(c.name, c.function);
    for (const int threads : kThreadCounts) b->Threads(threads);
  }
  for (const Case& c : kSerializedCases) {
    benchmark::RegisterBenchmark(c.name, c.function)->Threads(1);
  }

  SummaryReporter reporter(benchmark::CreateDefaultDisplayReporter(),
                           console ? &std::cout : &std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
