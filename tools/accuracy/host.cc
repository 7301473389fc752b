#include "tools/accuracy/host.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timex.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace accuracy {

namespace {

const char kCpu0[] = "/sys/devices/system/cpu/cpu0";
const char kClocksources[] =
    "/sys/devices/system/clocksource/clocksource0/available_clocksource";
const char kCpuinfo[] = "/proc/cpuinfo";

KernelFile ReadKernelFile(const std::string& path) {
  KernelFile file;
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd == -1) {
    file.error = errno;
    return file;
  }
  char buffer[1024];
  const ssize_t n = read(fd, buffer, sizeof(buffer) - 1);
  if (n == -1) file.error = errno;
  close(fd);
  file.present = n != -1;
  if (n > 0) file.text.assign(buffer, static_cast<size_t>(n));
  return file;
}

void Chomp(std::string* line) {
  while (!line->empty() && (line->back() == '\n' || line->back() == '\r')) {
    line->pop_back();
  }
}

// "key\t\t: value\n" as "key: value".
std::string TidyCpuinfoLine(const char* raw) {
  std::string line = raw;
  Chomp(&line);
  const size_t colon = line.find(':');
  if (colon == std::string::npos) return line;
  std::string key = line.substr(0, colon);
  while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) {
    key.pop_back();
  }
  const size_t value = line.find_first_not_of(" \t", colon + 1);
  return key + ": " + (value == std::string::npos ? "" : line.substr(value));
}

bool HasFlag(const std::string& flags, const char* flag) {
  const std::string wanted = std::string(" ") + flag + " ";
  return (" " + flags + " ").find(wanted) != std::string::npos;
}

// One line of /proc/cpuinfo. The rate lines are matched with the library's
// own patterns, so that the tool finds the line the library took and its
// rate compares exactly.
void ReadCpuinfoLine(const char* line, Host* host, bool* seen_flags) {
  double value;
  if (!host->mhz.found && (sscanf(line, "cpu MHz : %lf\n", &value) == 1 ||
                           sscanf(line, "clock : %lfMHz", &value) == 1)) {
    host->mhz = {true, TidyCpuinfoLine(line), value * 1000000};
  } else if (sscanf(line, "bogomips : %lf", &value) == 1) {
    host->bogomips = {true, TidyCpuinfoLine(line), value * 1000000};
  } else if (host->model == "(unknown)" &&
             strncmp(line, "model name", 10) == 0) {
    const std::string tidy = TidyCpuinfoLine(line);
    host->model = tidy.substr(tidy.find(": ") + 2);
  } else if (!*seen_flags && strncmp(line, "flags", 5) == 0 &&
             TidyCpuinfoLine(line).compare(0, 6, "flags:") == 0) {
    *seen_flags = true;
    const std::string flags = TidyCpuinfoLine(line).substr(6);
    host->constant_tsc = HasFlag(flags, "constant_tsc");
    host->nonstop_tsc = HasFlag(flags, "nonstop_tsc");
    host->tsc_known_freq = HasFlag(flags, "tsc_known_freq");
  }
}

void ReadCpuinfo(Host* host) {
  FILE* const f = fopen(kCpuinfo, "r");
  if (f == nullptr) {
    host->cpuinfo_error = errno;
    return;
  }
  host->cpuinfo = true;
  bool seen_flags = false;
  char* line = nullptr;
  size_t capacity = 0;
  while (getline(&line, &capacity, f) != -1) {
    ReadCpuinfoLine(line, host, &seen_flags);
  }
  free(line);
  fclose(f);
}

void ReadKernelState(Host* host) {
  struct utsname names;
  if (uname(&names) == 0) {
    host->kernel = std::string(names.sysname) + " " + names.release + " " +
                   names.version + " " + names.machine;
  }
  const KernelFile clocksource = ReadKernelFile(
      "/sys/devices/system/clocksource/clocksource0/current_clocksource");
  if (clocksource.present) host->clocksource = FirstLine(clocksource);
  host->frequency = ReadKernelFrequency();
}

}  // namespace

bool ParseKernelInt(const std::string& text, int* value) {
  const char* const line = text.c_str();
  char* end;
  const long parsed = strtol(line, &end, 10);
  if (line[0] == '\0' || (*end != '\n' && *end != '\0')) return false;
  *value = static_cast<int>(parsed);
  return true;
}

std::string FirstLine(const KernelFile& file) {
  std::string line = file.text.substr(0, file.text.find('\n'));
  Chomp(&line);
  return line;
}

KernelFrequency ReadKernelFrequency() {
  // Only reads the kernel's clock state: modes 0 changes nothing.
  struct timex tx;
  memset(&tx, 0, sizeof(tx));
  const int state = adjtimex(&tx);
  if (state == -1) return KernelFrequency();
  return KernelFrequencyFrom(state, tx, sysconf(_SC_CLK_TCK));
}

KernelFrequency KernelFrequencyFrom(int state, const struct timex& tx,
                                    long user_hz) {
  KernelFrequency k;
  k.ok = true;
  k.freq_ppm = static_cast<double>(tx.freq) / 65536.0;
  k.tick_us = tx.tick;
  k.nominal_tick_us = user_hz > 0 ? 1000000 / user_hz : 0;
  k.status = tx.status;
  k.synchronised = state != TIME_ERROR && !(tx.status & STA_UNSYNC);
  // The kernel's second is tick * USER_HZ us plus freq ppm of it.
  k.realtime_ppm = (static_cast<double>(tx.tick) * user_hz - 1e6) + k.freq_ppm;
  return k;
}

std::string StatusText(int status) {
  static const struct {
    int bit;
    const char* name;
  } kBits[] = {{STA_PLL, "PLL"},         {STA_PPSFREQ, "PPSFREQ"},
               {STA_PPSTIME, "PPSTIME"}, {STA_FLL, "FLL"},
               {STA_INS, "INS"},         {STA_DEL, "DEL"},
               {STA_UNSYNC, "UNSYNC"},   {STA_FREQHOLD, "FREQHOLD"},
               {STA_NANO, "NANO"},       {STA_MODE, "MODE"}};
  std::string text;
  for (const auto& b : kBits) {
    if (status & b.bit) text += text.empty() ? b.name : std::string(" ") + b.name;
  }
  return text.empty() ? "none" : text;
}

Host ExamineHost() {
  Host host;
  const std::string cpu0 = kCpu0;
  host.tsc_freq_khz = ReadKernelFile(cpu0 + "/tsc_freq_khz");
  host.max_freq = ReadKernelFile(cpu0 + "/cpufreq/cpuinfo_max_freq");
  host.clocksources = ReadKernelFile(kClocksources);
  ReadCpuinfo(&host);
  ReadKernelState(&host);
  return host;
}

namespace {

std::string Unread(const char* path, int error) {
  return std::string(path) + " could not be read (" + strerror(error) + ")";
}

std::string MissingClocksource(const KernelFile& file, const char* wanted) {
  if (!file.present) return Unread(kClocksources, file.error);
  std::string listed = FirstLine(file);
  listed.erase(0, listed.find_first_not_of(" \t"));
  listed.erase(listed.find_last_not_of(" \t") + 1);
  if (HasFlag(listed, wanted)) return "";
  return std::string(wanted) + " is not in " + kClocksources +
         (listed.empty() ? ", which is empty" : ", which lists " + listed);
}

}  // namespace

std::string CounterDistrust(const Host& host) {
#if defined(__x86_64__)
  const std::string missing = MissingClocksource(host.clocksources, "tsc");
  if (!missing.empty()) return missing;
  if (!host.cpuinfo) return Unread(kCpuinfo, host.cpuinfo_error);
  if (host.constant_tsc && host.nonstop_tsc) return "";
  return std::string("the flags in ") + kCpuinfo + " lack " +
         (host.constant_tsc   ? "nonstop_tsc"
          : host.nonstop_tsc ? "constant_tsc"
                             : "constant_tsc and nonstop_tsc");
#elif defined(__aarch64__)
  return MissingClocksource(host.clocksources, "arch_sys_counter");
#else
  (void)host;
  return "";
#endif
}

}  // namespace accuracy
