#include "tools/accuracy/plot.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>

namespace accuracy {

namespace {

bool CommandExists(const char* name) {
  const std::string command =
      std::string("command -v ") + name + " >/dev/null 2>&1";
  const int status = system(command.c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Text for a double-quoted gnuplot string.
std::string ForGnuplot(std::string text) {
  std::replace(text.begin(), text.end(), '"', '\'');
  std::replace(text.begin(), text.end(), '\\', '/');
  return text;
}

void PlotSetup(FILE* gp, const char* terminal, const std::string& png,
               const PlotFacts& facts) {
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
}

// Top: the error of every clean sample, the p99 band and the boundaries
// where the library re-measured its drift.
void PlotError(FILE* gp, const std::string& csv, const PlotFacts& facts) {
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
}

// Bottom: the relative clock against CLOCK_MONOTONIC, only where the
// monotonic bracket was narrow, as for the error.
void PlotRelative(FILE* gp, const std::string& csv, const PlotFacts& facts) {
  fprintf(gp, "unset arrow\nunset label\n");
  fprintf(gp, "set origin 0,0\nset size 1,0.33\n");
  fprintf(gp, "set tmargin 0.5\nset bmargin 3\n");
  fprintf(gp, "set format x '%%g'\n");
  fprintf(gp, "set xlabel 'seconds since start'\n");
  fprintf(gp, "set ylabel 'relative − MONOTONIC (µs)'\n");
  fprintf(gp, "plot '%s' every ::1 using 1:($9 <= %ld ? $8 / 1000.0 : 1/0) "
              "with lines lc rgb '#2a8a3a'\n", csv.c_str(), facts.wide_ns);
}

bool RunGnuplot(const char* terminal, const std::string& csv,
                const std::string& png, const PlotFacts& facts) {
  FILE* const gp = popen("gnuplot", "w");
  if (gp == nullptr) return false;
  PlotSetup(gp, terminal, png, facts);
  PlotError(gp, csv, facts);
  PlotRelative(gp, csv, facts);
  fprintf(gp, "unset multiplot\n");
  const int status = pclose(gp);
  struct stat st;
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
         stat(png.c_str(), &st) == 0 && st.st_size > 0;
}

}  // namespace

bool Plot(const std::string& csv, const std::string& png,
          const PlotFacts& facts) {
  if (!CommandExists("gnuplot")) {
    printf("plot: gnuplot is not installed, so no PNG was written.\n");
    return false;
  }
  // The paths go into gnuplot's single-quoted strings, one command a line.
  const char* const unsafe = "'\n\r";
  if (csv.find_first_of(unsafe) != std::string::npos ||
      png.find_first_of(unsafe) != std::string::npos) {
    printf("plot: a path contains a quote or a line break; no PNG was "
           "written.\n");
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

}  // namespace accuracy
