// Feeds arbitrary bytes to rate discovery as the contents of the kernel's
// files, and checks each outcome against a model of the discovery rules
// written independently here: the rate is what the files give, or, where
// they give nothing usable, the one-second measurement; and any rate but
// tsc_freq_khz's is then checked against the kernel's clock, which replaces
// it when the two differ by more than 50 ppm. Every descriptor opened must
// be closed again.
//
// Input: the first byte chooses the case, the rest is the files' contents.
//   bits 0-2  tsc_freq_khz, cpuinfo_max_freq, /proc/cpuinfo present
//   bit 6     every read of a sysfs file fails (EIO)
//   bit 7     /proc/cpuinfo fails to open with EMFILE rather than ENOENT
// The ASCII digits '0' to '7' are thus the presence masks alone. After it:
// tsc_freq_khz's bytes up to the first NUL, cpuinfo_max_freq's up to the
// next, and /proc/cpuinfo's as the whole rest (NULs and all).
//
// The counter, the sleep and the raw kernel clock are a scripted host's
// (scripted_host.cc), whose counter runs at kTrueRate: a measurement or a
// check costs no time and finds exactly that rate.

#include <errno.h>
#include <math.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <climits>
#include <string>

#include "java/com/vornix/common/unix/base/sysinfo.h"
#include "tests/support/fake_system_files.h"
#include "tests/support/scripted_host.h"

namespace fsf = fake_system_files;
namespace sh = scripted_host;

namespace {

// A multiple of 50, so that a check's 20 ms hold a whole number of ticks.
constexpr int64_t kTrueRate = 3141592650;

int g_sleeps, g_first_sleep_ms;
int g_perrors;
std::string g_perror_text;
int g_perror_errno;

}  // namespace

namespace java_com_vornix_common_unix_base {

void SleepForMilliseconds(int milliseconds) {
  if (g_sleeps++ == 0) g_first_sleep_ms = milliseconds;
  sh::Sleep(int64_t{milliseconds} * 1000000);
}

}  // namespace java_com_vornix_common_unix_base

extern "C" void perror(const char* s) {
  ++g_perrors;
  g_perror_errno = errno;
  g_perror_text = s == nullptr ? "(null)" : s;
}

namespace {

// --- The model ------------------------------------------------------------

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
         c == '\r';
}

// A sysfs file's number: its whole first line must be one decimal integer
// (leading blanks and a sign allowed), as strtol reads it with saturation;
// the rate keeps the low 32 bits of it, in kHz.
bool SysfsKhz(const std::string& content, bool read_fails, int* khz) {
  if (read_fails) return false;  // nothing read: an empty text
  // One read of at most 1023 bytes, seen as a C string.
  std::string text = content.substr(0, 1023);
  text = text.substr(0, text.find('\0'));
  if (text.empty()) return false;
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  const size_t digits = i;
  // The magnitude, saturated just past LONG_MAX + 1.
  const unsigned long long cap = static_cast<unsigned long long>(LONG_MAX) + 1;
  unsigned long long magnitude = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    const unsigned digit = static_cast<unsigned>(text[i] - '0');
    magnitude = magnitude > (cap - digit) / 10 ? cap + 1 : magnitude * 10 + digit;
    ++i;
  }
  // No digits: nothing was converted, and the text is checked from its start.
  const size_t end = i == digits ? 0 : i;
  const char stop = end < text.size() ? text[end] : '\0';
  if (stop != '\n' && stop != '\0') return false;
  long value;
  if (negative) {
    value = magnitude >= cap ? LONG_MIN : -static_cast<long>(magnitude);
  } else {
    value = magnitude > static_cast<unsigned long long>(LONG_MAX)
                ? LONG_MAX
                : static_cast<long>(magnitude);
  }
  *khz = static_cast<int>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
  return true;
}

// Matches words of a cpuinfo line with blanks between them optional, then a
// number as the C library reads one.
bool Field(const char* line, const char* const* words, double* value) {
  const char* p = line;
  for (const char* const* w = words; *w != nullptr; ++w) {
    for (const char* c = *w; *c != '\0'; ++c, ++p) {
      if (*p != *c) return false;
    }
    while (IsSpace(*p)) ++p;
  }
  return sscanf(p, "%lf", value) == 1;
}

bool Usable(double rate) { return rate >= 1e8 && rate <= 1e11; }

struct Outcome {
  double rate;
  bool measured;
  bool reported;
  bool checked;
};

// The kernel's clock says the counter runs at kTrueRate.
Outcome Checked(Outcome files) {
  files.checked = true;
  const double truth = static_cast<double>(kTrueRate);
  if (fabs(files.rate - truth) > 50e-6 * truth) files.rate = truth;
  return files;
}

Outcome Model(const fsf::Files& files) {
  static const char* const kMhz[] = {"cpu", "MHz", ":", nullptr};
  static const char* const kClock[] = {"clock", ":", nullptr};
  static const char* const kBogomips[] = {"bogomips", ":", nullptr};
  bool saw = false, tsc_freq_khz = false;
  double rate = 0;
  for (const fsf::File f : {fsf::kTscFreqKhz, fsf::kCpuinfoMaxFreq}) {
    int khz;
    if (!saw && files.present[f] && SysfsKhz(files.content[f], files.read_errno != 0, &khz)) {
      rate = khz * 1000.0;
      saw = true;
      tsc_freq_khz = f == fsf::kTscFreqKhz;
    }
  }
  const double measurement = static_cast<double>(kTrueRate);
  if (!files.present[fsf::kCpuinfo]) {
    return Checked({measurement, true, true, false});
  }
  double bogo = 1.0;
  const std::string& text = files.content[fsf::kCpuinfo];
  // Lines as fgets hands them over with a 1024-byte buffer: up to and with
  // a newline, or 1023 bytes of a longer line; each read as a C string.
  size_t at = 0;
  while (at < text.size()) {
    size_t n = 0;
    while (n < 1023 && at + n < text.size()) {
      if (text[at + n++] == '\n') break;
    }
    const std::string line = text.substr(at, n);
    at += n;
    double value;
    if (!saw && (Field(line.c_str(), kMhz, &value) ||
                 Field(line.c_str(), kClock, &value))) {
      rate = value * 1000000;
      saw = true;
    } else if (Field(line.c_str(), kBogomips, &value)) {
      bogo = value * 1000000;
    }
  }
  if (!saw) rate = bogo;
  if (!Usable(rate)) return Checked({measurement, true, false, false});
  const Outcome outcome = {rate, false, false, false};
  return tsc_freq_khz ? outcome : Checked(outcome);
}

// --- The input --------------------------------------------------------------

fsf::Files Parse(const uint8_t* data, size_t size, int* cpuinfo_errno) {
  fsf::Files files;
  const uint8_t flags = size > 0 ? data[0] : 0;
  for (int i = 0; i < fsf::kFileCount; ++i) files.present[i] = (flags >> i) & 1;
  files.read_errno = (flags & 0x40) != 0 ? EIO : 0;
  *cpuinfo_errno = (flags & 0x80) != 0 ? EMFILE : ENOENT;
  files.open_errno[fsf::kCpuinfo] = *cpuinfo_errno;
  const std::string rest =
      size > 0 ? std::string(reinterpret_cast<const char*>(data) + 1, size - 1) : "";
  size_t at = 0;
  for (const fsf::File f : {fsf::kTscFreqKhz, fsf::kCpuinfoMaxFreq}) {
    const size_t nul = rest.find('\0', at);
    const size_t end = nul == std::string::npos ? rest.size() : nul;
    files.content[f] = rest.substr(at, end - at);
    at = end == rest.size() ? end : end + 1;
  }
  files.content[fsf::kCpuinfo] = rest.substr(at);
  return files;
}

[[noreturn]] void Fail(const char* what, const fsf::Files& files, double got,
                       double want) {
  fprintf(stderr, "rate discovery disagrees with the model: %s\n", what);
  fprintf(stderr, "  got %.17g, want %.17g\n", got, want);
  for (int i = 0; i < fsf::kFileCount; ++i) {
    fprintf(stderr, "  %s: %s, %zu bytes\n", fsf::kPaths[i],
            files.present[i] ? "present" : "absent", files.content[i].size());
  }
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int cpuinfo_errno;
  const fsf::Files files = Parse(data, size, &cpuinfo_errno);
  const Outcome want = Model(files);

  g_sleeps = g_perrors = 0;
  sh::Host host;
  host.rate_hz = kTrueRate;
  sh::Start(host);
  const int descriptors = fsf::OpenDescriptors();
  fsf::Serve(files);
  java_com_vornix_common_unix_base::InitializeSystemInfo();
  fsf::StopServing();
  sh::Stop();
  const double got = java_com_vornix_common_unix_base::CyclesPerSecond();

  if (fsf::OpenDescriptors() != descriptors) {
    Fail("a descriptor was left open", files, got, want.rate);
  }
  if (got != want.rate) Fail("rate", files, got, want.rate);
  if (g_sleeps != (want.measured ? 1 : 0) + (want.checked ? 1 : 0) ||
      (want.measured && g_first_sleep_ms != 1000)) {
    Fail("measurement", files, got, want.rate);
  }
  if ((sh::ClockReads() > 0) != want.checked) {
    Fail("check against the kernel's clock", files, got, want.rate);
  }
  if (g_perrors != (want.reported ? 1 : 0) ||
      (want.reported && (g_perror_text != "/proc/cpuinfo" ||
                         g_perror_errno != cpuinfo_errno))) {
    Fail("report", files, got, want.rate);
  }
  return 0;
}
