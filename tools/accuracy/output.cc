#include "tools/accuracy/output.h"

#include <inttypes.h>
#include <stdlib.h>
#include <unistd.h>

#include "tools/accuracy/plot.h"

namespace accuracy {

namespace {

const char kHeader[] =
    "seconds_since_start,epoch_ns,error_ns,bracket_ns,wide,drift_s,"
    "cycle_epoch,relative_minus_monotonic_ns,monotonic_bracket_ns\n";

// A temporary CSV for a plot alone; its path holds no quote for gnuplot.
FILE* OpenTemporary(std::string* path) {
  const char* const dir = getenv("TMPDIR");
  *path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
          "/varnok_accuracy.XXXXXX";
  const int fd = mkstemp(&(*path)[0]);
  if (fd == -1) return nullptr;
  FILE* const f = fdopen(fd, "w");
  if (f == nullptr) close(fd);
  return f;
}

PlotFacts DescribePlot(const Host& host, const Run& run,
                       const Figures& figures, long wide_ns) {
  PlotFacts facts;
  char text[512];
  snprintf(text, sizeof(text),
           "libvarnok_jni epoch clock minus CLOCK_REALTIME, %.0f s on %s "
           "(clocksource %s)",
           run.seconds, host.model.c_str(), host.clocksource.c_str());
  facts.title = text;
  snprintf(text, sizeof(text),
           "%" PRIu64 " samples; median %+.3f µs, p99 |error| %.3f µs (red), "
           "max %.3f µs; grey: drift re-measured at a cycle-epoch boundary",
           figures.clean, figures.median_us, figures.p99_abs_us,
           figures.max_abs_us);
  facts.subtitle = text;
  facts.p99_abs_us = figures.p99_abs_us;
  facts.seconds = run.seconds;
  facts.wide_ns = wide_ns;
  for (const Step& step : run.steps) facts.boundaries.push_back(step.seconds);
  return facts;
}

}  // namespace

Output::Output(const Options& options) : options_(options) {}

Output::~Output() {
  if (csv_ != nullptr) fclose(csv_);
  if (temporary_) remove(csv_path_.c_str());
}

bool Output::Open() {
  if (!options_.csv_path.empty()) {
    csv_path_ = options_.csv_path;
    csv_ = fopen(csv_path_.c_str(), "w");
  } else if (!options_.png_path.empty()) {
    csv_ = OpenTemporary(&csv_path_);
    temporary_ = csv_ != nullptr;
  } else {
    return true;
  }
  if (csv_ == nullptr) {
    perror(csv_path_.c_str());
    return false;
  }
  static char buffer[1 << 20];
  setvbuf(csv_, buffer, _IOFBF, sizeof(buffer));
  fputs(kHeader, csv_);
  return true;
}

void Output::Write(const Row& row) {
  fprintf(csv_,
          "%.6f,%" PRId64 ",%.1f,%" PRId64 ",%d,%.9e,%" PRIu64 ",%.1f,%" PRId64
          "\n",
          row.seconds, row.epoch_ns, static_cast<double>(row.error2) / 2.0,
          row.bracket_ns, row.wide ? 1 : 0, static_cast<double>(row.drift),
          row.cycle_epoch,
          static_cast<double>(row.relative_minus_monotonic2) / 2.0,
          row.monotonic_bracket_ns);
}

bool Output::Finish(const Host& host, const Run& run, const Figures& figures) {
  printf("\n== Output\n");
  if (csv_ == nullptr) {
    printf("no files written (--csv PATH writes the samples, --png PATH a "
           "plot)\n");
    return true;
  }
  // A write that failed on the way leaves the stream's error flag set even
  // when the last flush succeeds.
  const bool written = ferror(csv_) == 0;
  const bool ok = fclose(csv_) == 0 && written;
  csv_ = nullptr;
  if (!ok) {
    perror(csv_path_.c_str());
    return false;
  }
  if (!temporary_) {
    printf("csv: %s (%" PRIu64 " rows%s)\n", csv_path_.c_str(), run.rows,
           run.decimated ? ", decimated" : "");
  }
  if (!options_.png_path.empty()) {
    Plot(csv_path_, options_.png_path,
         DescribePlot(host, run, figures, options_.wide_ns));
  }
  return true;
}

}  // namespace accuracy
