#include "discipline_measure.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "discipline_process.h"

namespace varnok_discipline {
namespace {

// A sample is r1 = CLOCK_REALTIME, the epoch clock, r2 = CLOCK_REALTIME; its
// error is the clock's reading less the bracket's midpoint. A bracket wider
// than this was preempted and says nothing about the clock.
constexpr int64_t kMaxBracketNs = 3000;
// |error| in bins for the percentile, 10 ns wide up to 100 us and 1 us wide
// up to 100 ms; the maximum is exact.
constexpr size_t kFineBins = 10000, kBins = kFineBins + 99900;
size_t Bin(int64_t error_ns) {
  if (error_ns < 100000) return static_cast<size_t>(error_ns / 10);
  return std::min(kFineBins + static_cast<size_t>((error_ns - 100000) / 1000), kBins);
}
int64_t BinEnd(size_t bin) {
  return bin < kFineBins ? static_cast<int64_t>(bin + 1) * 10
                         : 100000 + static_cast<int64_t>(bin - kFineBins + 1) * 1000;
}

using Init = void (*)(void*, void*);
using Read = int64_t (*)(void*, void*);

struct Natives {
  Init init = nullptr;
  Read epoch = nullptr, relative = nullptr;
};

bool LoadNatives(const char* library, Natives* n) {
  void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    fprintf(stderr, "cannot load %s: %s\n", library, dlerror());
    return false;
  }
  n->init = reinterpret_cast<Init>(dlsym(handle, "Java_com_vornix_common_unix_Varnok_init"));
  n->epoch = reinterpret_cast<Read>(dlsym(handle, "Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1"));
  n->relative =
      reinterpret_cast<Read>(dlsym(handle, "Java_com_vornix_common_unix_Varnok_nanoTimeRelative1"));
  if (!n->init || !n->epoch || !n->relative) {
    fprintf(stderr, "%s lacks the Varnok natives\n", library);
    return false;
  }
  return true;
}

// The errors seen so far, and their figures: the p99 from the bins, the
// maximum and the largest step back exact.
struct Tally {
  FILE* const trace;
  const int64_t start_realtime;
  std::vector<uint64_t> bins = std::vector<uint64_t>(kBins + 1);
  uint64_t samples = 0, dropped = 0, over_10us = 0;
  int64_t max_error = 0, step_back = 0, previous = 0, last_signed = 0;

  Tally(FILE* trace_file, int64_t start_realtime_ns) : trace(trace_file), start_realtime(start_realtime_ns) {}

  void Take(int64_t r1, int64_t v, int64_t r2) {
    step_back = std::max(step_back, previous - v);
    previous = v;
    if (r2 - r1 > kMaxBracketNs || r2 < r1) {
      ++dropped;
      return;
    }
    last_signed = v - (r1 + (r2 - r1) / 2);
    const int64_t error = std::llabs(last_signed);
    max_error = std::max(max_error, error);
    over_10us += error > 10000;
    if (trace && error > 10000 && over_10us <= 1000) {  // and each large error, marked
      fprintf(trace, "! %.6f %lld\n", (r1 - start_realtime) * 1e-9, static_cast<long long>(last_signed));
    }
    ++bins[Bin(error)];
    ++samples;
  }

  void Print(long long interval_ppb) const {
    uint64_t seen = 0;
    size_t p99 = 0;
    while (p99 < kBins && (seen += bins[p99]) * 100 < samples * 99) ++p99;
    printf("%llu %llu %llu %lld %lld %lld %lld\n", static_cast<unsigned long long>(samples),
           static_cast<unsigned long long>(dropped), static_cast<unsigned long long>(over_10us),
           static_cast<long long>(p99 < kBins ? std::min(BinEnd(p99), max_error) : max_error),
           static_cast<long long>(max_error), static_cast<long long>(step_back), interval_ppb);
  }
};

// The interval clock beside CLOCK_MONOTONIC, read between two readings of
// it every 100 ms, and its largest rate error over any span of 10 s that
// begins 2 s after init (or over all of them, where the run is shorter).
struct IntervalRate {
  struct Mark {
    int64_t mono, value;
  };
  std::vector<Mark> marks;

  void Take(const Natives& n) {
    const int64_t m1 = ClockNs(CLOCK_MONOTONIC);
    const int64_t v = n.relative(nullptr, nullptr);
    const int64_t m2 = ClockNs(CLOCK_MONOTONIC);
    if (m2 - m1 <= kMaxBracketNs) marks.push_back({m1 + (m2 - m1) / 2, v});
  }

  long long WorstPpb() const {
    if (marks.empty()) return 0;
    const int64_t from = marks.front().mono + 2000000000;
    const int64_t span = std::min<int64_t>(10000000000, marks.back().mono - from);
    double worst = 0;
    for (size_t i = 0, j = 0; i < marks.size(); ++i) {
      if (marks[i].mono < from) continue;
      while (j < marks.size() && marks[j].mono - marks[i].mono < span) ++j;
      if (j == marks.size()) break;
      const double rate = static_cast<double>(marks[j].value - marks[i].value) /
                          static_cast<double>(marks[j].mono - marks[i].mono);
      worst = std::max(worst, std::abs(rate - 1) * 1e9);
    }
    return static_cast<long long>(worst);
  }
};

}  // namespace

int Measure(const char* library, double seconds) {
  Natives n;
  if (!LoadNatives(library, &n)) return 1;
  // The pauses between bursts are short; without this the kernel would
  // stretch each to 50 us.
  prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0);
  n.init(nullptr, nullptr);
  // VARNOK_DISCIPLINE_TRACE=FILE: the signed error every 10 ms, to see how
  // the clock moves between re-measurements, and the first thousand errors
  // over 10 us, each on a line starting with "!".
  FILE* trace = getenv("VARNOK_DISCIPLINE_TRACE") ? fopen(getenv("VARNOK_DISCIPLINE_TRACE"), "w") : nullptr;
  const int64_t start = ClockNs(CLOCK_MONOTONIC), start_realtime = ClockNs(CLOCK_REALTIME);
  int64_t next_trace = start;
  Tally t(trace, start_realtime);
  IntervalRate interval;
  int64_t next_mark = start;
  t.previous = n.epoch(nullptr, nullptr);
  const int64_t end = ClockNs(CLOCK_MONOTONIC) + static_cast<int64_t>(seconds * 1e9);
  const timespec pause = {0, 20000};
  while (ClockNs(CLOCK_MONOTONIC) < end) {
    // Bursts of reads with short sleeps between them: a read at least every
    // few tens of us, so that no re-measurement goes unseen, while chronyd
    // and the feeder get the processor when they need it.
    for (int i = 0; i < 64; ++i) {
      const int64_t r1 = ClockNs(CLOCK_REALTIME);
      const int64_t v = n.epoch(nullptr, nullptr);
      const int64_t r2 = ClockNs(CLOCK_REALTIME);
      t.Take(r1, v, r2);
    }
    if (ClockNs(CLOCK_MONOTONIC) >= next_mark) {
      interval.Take(n);
      next_mark += 100000000;
    }
    if (trace && ClockNs(CLOCK_MONOTONIC) >= next_trace) {
      fprintf(trace, "%.3f %lld\n", (next_trace - start) * 1e-9, static_cast<long long>(t.last_signed));
      next_trace += 10000000;
    }
    nanosleep(&pause, nullptr);
  }
  interval.Take(n);
  if (trace) fclose(trace);
  t.Print(interval.WorstPpb());
  return 0;
}

Result RunMeasurement(const Options& o, double seconds, const std::function<void()>& tick) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  char secs[32];
  snprintf(secs, sizeof(secs), "%.3f", seconds);
  const pid_t pid = Spawn({o.self, "--measure", o.library, secs}, out[1], -1, false, SIGKILL);
  close(out[1]);
  int status = 0;
  try {
    const int64_t end = ClockNs(CLOCK_MONOTONIC) + static_cast<int64_t>((seconds + 30) * 1e9);
    while (!WaitFor(pid, 50 * 1000000, &status)) {
      tick();
      if (ClockNs(CLOCK_MONOTONIC) > end) throw std::runtime_error("the measurement hangs");
    }
  } catch (...) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    close(out[0]);
    throw;
  }
  char line[256] = {};
  const ssize_t n = read(out[0], line, sizeof(line) - 1);
  close(out[0]);
  Result r;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || n <= 0 ||
      sscanf(line, "%llu %llu %llu %lld %lld %lld %lld", &r.samples, &r.dropped, &r.over_10us,
             &r.p99, &r.max, &r.step_back, &r.interval_ppb) != 7) {
    throw std::runtime_error("the measurement failed (status " + std::to_string(status) + ")");
  }
  return r;
}

}  // namespace varnok_discipline
