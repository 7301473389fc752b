#include "bench/sparse/options.h"

#include <stdio.h>
#include <stdlib.h>

namespace sparse {

namespace {

void Usage(FILE* out) {
  fprintf(out,
          "usage: sparse_benchmark [options]\n"
          "  --gaps LIST     pauses before each read, e.g. 0,100us,2ms (the\n"
          "                  default); units ns, us, ms, s; 0 is back-to-back\n"
          "  --samples N     recorded reads per clock and gap (default 1000)\n"
          "  --block N       reads of one clock in a row (default 10), each\n"
          "                  block after one read that is not recorded\n"
          "  --seed N        seed of the blocks' order (default 1)\n"
          "  --csv           one CSV line per gap and clock on standard output;\n"
          "                  the header and tables go to standard error\n");
}

bool ParseCount(const std::string& text, long low, long high, long* value) {
  char* end;
  const long v = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || v < low || v > high) return false;
  *value = v;
  return true;
}

}  // namespace

bool ParseDuration(const std::string& text, int64_t* ns) {
  if (text == "0") {
    *ns = 0;
    return true;
  }
  static const struct {
    const char* unit;
    double ns;
  } kUnits[] = {{"ns", 1}, {"us", 1e3}, {"ms", 1e6}, {"s", 1e9}};
  char* end;
  const double value = strtod(text.c_str(), &end);
  if (end == text.c_str()) return false;
  for (const auto& u : kUnits) {
    if (std::string(end) != u.unit) continue;
    const double total = value * u.ns;
    if (!(total >= 0 && total <= 60e9)) return false;
    *ns = static_cast<int64_t>(total + 0.5);
    return true;
  }
  return false;
}

bool ParseGaps(const std::string& text, std::vector<int64_t>* gaps_ns) {
  std::vector<int64_t> gaps;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    int64_t ns;
    if (!ParseDuration(text.substr(start, comma - start), &ns)) return false;
    gaps.push_back(ns);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  *gaps_ns = gaps;
  return true;
}

// Accepts "--name value" and "--name=value".
int ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      Usage(stdout);
      return 0;
    }
    if (name == "--csv") {
      options->csv = true;
      continue;
    }
    const size_t equals = name.find('=');
    std::string value;
    if (equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
    } else if (i + 1 < argc) {
      value = argv[++i];
    }
    bool ok;
    if (name == "--gaps") {
      ok = ParseGaps(value, &options->gaps_ns);
    } else if (name == "--samples") {
      ok = ParseCount(value, 1, 100000000, &options->samples);
    } else if (name == "--block") {
      ok = ParseCount(value, 1, 100000000, &options->block);
    } else if (name == "--seed") {
      long seed = 0;
      ok = ParseCount(value, 0, 0x7fffffff, &seed);
      options->seed = static_cast<unsigned long>(seed);
    } else {
      fprintf(stderr, "sparse_benchmark: unknown argument '%s'\n", argv[i]);
      Usage(stderr);
      return 2;
    }
    if (!ok) {
      fprintf(stderr, "sparse_benchmark: bad value for %s: '%s'\n",
              name.c_str(), value.c_str());
      return 2;
    }
  }
  return kProceed;
}

}  // namespace sparse
