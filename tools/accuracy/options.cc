#include "tools/accuracy/options.h"

#include <stdio.h>
#include <stdlib.h>

namespace accuracy {

namespace {

void Usage(FILE* out) {
  fprintf(out,
          "usage: varnok_accuracy [options]\n"
          "  --seconds S       how long to sample the epoch clock (default 10)\n"
          "  --epochs N        stop once N cycle-epoch boundaries have passed\n"
          "                    (within --seconds); fewer fails the run\n"
          "  --interval-us U   pause between samples in microseconds (default 100)\n"
          "  --busy            wait between samples by spinning, not sleeping\n"
          "  --csv PATH        write the samples to PATH (default: no CSV)\n"
          "  --png PATH        draw the error over time to PATH with gnuplot\n"
          "                    (default: no plot)\n"
          "  --max-rows N      keep at most about N rows in the CSV (default 1000000)\n"
          "  --wide-ns N       leave out of the statistics a sample whose\n"
          "                    CLOCK_REALTIME bracket is wider than N ns (default 5000)\n"
          "  --measure-rate    print the counter's rate against CLOCK_MONOTONIC_RAW\n"
          "                    as counter_hz=... and stop\n"
          "requirements (exit status 3 when one is missed):\n"
          "  --require-p99-us U        p99 of |epoch clock - CLOCK_REALTIME| <= U us\n"
          "  --require-step-back-us U  the clock steps back by at most U us\n"
          "  --require-path P          the rate took path P: as-is, kept,\n"
          "                            replaced or measured\n");
}

// One option: its name, the member it sets and the values it accepts. A
// flag has no value; a number must lie in [low, high].
struct OptionRule {
  const char* name;
  const char* what;
  bool Options::*flag;
  double Options::*number;
  long Options::*count;
  std::string Options::*text;
  double low, high;
};

const OptionRule kOptionRules[] = {
    {"--seconds", "a number of seconds", nullptr, &Options::seconds, nullptr,
     nullptr, 1e-9, 7 * 86400.0},
    {"--epochs", "a number of boundaries", nullptr, nullptr, &Options::epochs,
     nullptr, 1, 1000000},
    {"--interval-us", "a number of microseconds", nullptr, nullptr,
     &Options::interval_us, nullptr, 0, 10000000},
    {"--busy", nullptr, &Options::busy, nullptr, nullptr, nullptr, 0, 0},
    {"--csv", "a path", nullptr, nullptr, nullptr, &Options::csv_path, 0, 0},
    {"--png", "a path", nullptr, nullptr, nullptr, &Options::png_path, 0, 0},
    {"--max-rows", "a number of rows", nullptr, nullptr, &Options::max_rows,
     nullptr, 1, 1e15},
    {"--wide-ns", "a number of nanoseconds", nullptr, nullptr,
     &Options::wide_ns, nullptr, 1, 1e15},
    {"--measure-rate", nullptr, &Options::measure_rate, nullptr, nullptr,
     nullptr, 0, 0},
    {"--require-p99-us", "a number of microseconds", nullptr,
     &Options::require_p99_us, nullptr, nullptr, 0, 1e15},
    {"--require-step-back-us", "a number of microseconds", nullptr,
     &Options::require_step_back_us, nullptr, nullptr, 0, 1e15},
    {"--require-path", "a path name", nullptr, nullptr, nullptr,
     &Options::require_path, 0, 0},
};

bool IsPathName(const std::string& name) {
  return name == "as-is" || name == "kept" || name == "replaced" ||
         name == "measured";
}

// Stores the text of a value into the member that the rule names.
bool Store(const OptionRule& rule, const std::string& value, Options* options) {
  const char* const text = value.c_str();
  char* end;
  if (rule.number != nullptr) {
    const double v = strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= rule.low && v <= rule.high)) {
      return false;
    }
    options->*rule.number = v;
  } else if (rule.count != nullptr) {
    const long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < rule.low || v > rule.high) {
      return false;
    }
    options->*rule.count = v;
  } else {
    if (value.empty()) return false;
    if (rule.text == &Options::require_path && !IsPathName(value)) return false;
    options->*rule.text = value;
  }
  return true;
}

const OptionRule* Find(const std::string& name) {
  for (const OptionRule& rule : kOptionRules) {
    if (name == rule.name) return &rule;
  }
  return nullptr;
}

}  // namespace

// Accepts "--name value" and "--name=value".
int ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") {
      Usage(stdout);
      return 0;
    }
    const size_t equals = name.find('=');
    const bool inline_value = name.compare(0, 2, "--") == 0 &&
                              equals != std::string::npos;
    std::string value = inline_value ? name.substr(equals + 1) : "";
    if (inline_value) name.resize(equals);
    const OptionRule* const rule = Find(name);
    if (rule == nullptr || (rule->flag != nullptr && inline_value)) {
      fprintf(stderr, "varnok_accuracy: unknown argument '%s'\n", argv[i]);
      Usage(stderr);
      return 2;
    }
    if (rule->flag != nullptr) {
      options->*rule->flag = true;
      continue;
    }
    if (!inline_value) {
      if (i + 1 >= argc) {
        fprintf(stderr, "varnok_accuracy: %s needs %s\n", rule->name,
                rule->what);
        return 2;
      }
      value = argv[++i];
    }
    if (!Store(*rule, value, options)) {
      fprintf(stderr, "varnok_accuracy: bad value for %s: '%s'\n", rule->name,
              value.c_str());
      return 2;
    }
  }
  return kProceed;
}

}  // namespace accuracy
