// The files a run writes when asked: its samples as CSV (--csv) and a plot
// of them drawn by gnuplot (--png). Nothing is written unless asked.

#ifndef TOOLS_ACCURACY_OUTPUT_H_
#define TOOLS_ACCURACY_OUTPUT_H_

#include <stdio.h>

#include <string>

#include "tools/accuracy/host.h"
#include "tools/accuracy/options.h"
#include "tools/accuracy/sampling.h"
#include "tools/accuracy/statistics.h"

namespace accuracy {

class Output : public RowSink {
 public:
  explicit Output(const Options& options);
  ~Output() override;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Opens the CSV, a temporary one when only a plot is asked for. Done
  // before sampling, so that a bad path fails before a long run rather than
  // after; false when it cannot be opened, having said why.
  bool Open();

  // Where the rows go; null when nothing is to be written.
  RowSink* sink() { return csv_ != nullptr ? this : nullptr; }
  void Write(const Row& row) override;

  // Closes the CSV, draws the plot and says what was written. False when
  // the CSV could not be written whole.
  bool Finish(const Host& host, const Run& run, const Figures& figures);

 private:
  const Options& options_;
  std::string csv_path_;
  bool temporary_ = false;
  FILE* csv_ = nullptr;
};

}  // namespace accuracy

#endif  // TOOLS_ACCURACY_OUTPUT_H_
