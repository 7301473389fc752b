// The error over time, drawn from a run's CSV by gnuplot when it is there.

#ifndef TOOLS_ACCURACY_PLOT_H_
#define TOOLS_ACCURACY_PLOT_H_

#include <string>
#include <vector>

namespace accuracy {

struct PlotFacts {
  std::string title;
  std::string subtitle;
  double p99_abs_us;
  double seconds;  // the length of the run, the x axis
  long wide_ns;    // brackets wider than this are left out
  std::vector<double> boundaries;
};

// Draws `png` from `csv`; says what happened, and whether a PNG was written.
bool Plot(const std::string& csv, const std::string& png,
          const PlotFacts& facts);

}  // namespace accuracy

#endif  // TOOLS_ACCURACY_PLOT_H_
