#include "tests/support/fake_system_files.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

#include "tests/support/next_definition.h"

namespace fake_system_files {

const char* const kPaths[kFileCount] = {
    "/sys/devices/system/cpu/cpu0/tsc_freq_khz",
    "/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq",
    "/proc/cpuinfo",
};

namespace {

// The memfd name by which a read recognises a served sysfs file.
const char kSysfsName[] = "varnok-fake-sysfs";

std::atomic<bool> g_serving{false};
Files g_files;
int g_open_calls[kFileCount];

int ServedFile(const char* path) {
  if (!g_serving.load(std::memory_order_acquire) || path == nullptr) return -1;
  for (int i = 0; i < kFileCount; ++i) {
    if (strcmp(path, kPaths[i]) == 0) return i;
  }
  return -1;
}

// A fresh descriptor positioned at the start of the file's bytes, or -1 with
// errno set as the case asks.
int OpenServed(int file, const char* memfd_name) {
  ++g_open_calls[file];
  if (!g_files.present[file]) {
    errno = g_files.open_errno[file] != 0 ? g_files.open_errno[file] : ENOENT;
    return -1;
  }
  const int fd = memfd_create(memfd_name, MFD_CLOEXEC);
  if (fd == -1) return -1;
  const std::string& bytes = g_files.content[file];
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      close(fd);
      errno = EIO;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

bool IsServedSysfs(int fd) {
  char link[64];
  char target[128];
  snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof(target) - 1);
  if (n <= 0) return false;
  target[n] = '\0';
  return strstr(target, kSysfsName) != nullptr;
}

}  // namespace

void Serve(const Files& files) {
  g_files = files;
  for (int& calls : g_open_calls) calls = 0;
  g_serving.store(true, std::memory_order_release);
}

void StopServing() { g_serving.store(false, std::memory_order_release); }

int OpenCalls(File file) { return g_open_calls[file]; }

int OpenDescriptors() {
  DIR* const dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory's own descriptor
}

}  // namespace fake_system_files

using fake_system_files::kCpuinfo;
using fake_system_files::OpenServed;
using fake_system_files::ServedFile;

extern "C" int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, int));
    va_end(args);
  }
  const int file = ServedFile(path);
  if (file != -1 && file != kCpuinfo) {
    return OpenServed(file, fake_system_files::kSysfsName);
  }
  static const auto real =
      NextDefinition<int (*)(const char*, int, ...)>("open");
  return real(path, flags, mode);
}

extern "C" FILE* fopen(const char* path, const char* mode) {
  if (ServedFile(path) == kCpuinfo) {
    const int fd = OpenServed(kCpuinfo, "varnok-fake-cpuinfo");
    if (fd == -1) return nullptr;
    FILE* const f = fdopen(fd, "r");
    if (f == nullptr) close(fd);
    return f;
  }
  static const auto real =
      NextDefinition<FILE* (*)(const char*, const char*)>("fopen");
  return real(path, mode);
}

extern "C" ssize_t read(int fd, void* buffer, size_t size) {
  if (fake_system_files::g_serving.load(std::memory_order_acquire) &&
      fake_system_files::g_files.read_errno != 0 &&
      fake_system_files::IsServedSysfs(fd)) {
    errno = fake_system_files::g_files.read_errno;
    return -1;
  }
  static const auto real =
      NextDefinition<ssize_t (*)(int, void*, size_t)>("read");
  return real(fd, buffer, size);
}
