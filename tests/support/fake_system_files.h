// Serves chosen bytes, or chosen failures, as the three kernel files that
// rate discovery reads, without a mount namespace.
//
// A program that links the varnok_fake_system_files library defines open,
// fopen and read itself. The library calls them through the dynamic symbol table, so its
// opens of the three paths get a fresh in-memory file (a memfd) holding the
// served bytes; every other open passes through. Reads and closes of those
// descriptors and streams are the real ones, so a descriptor or stream that
// discovery fails to close stays open and can be counted.

#ifndef VARNOK_TESTS_FAKE_SYSTEM_FILES_H_
#define VARNOK_TESTS_FAKE_SYSTEM_FILES_H_

#include <string>

namespace fake_system_files {

enum File { kTscFreqKhz, kCpuinfoMaxFreq, kCpuinfo, kFileCount };

extern const char* const kPaths[kFileCount];

struct Files {
  // A file that is not present fails to open with open_errno.
  bool present[kFileCount] = {false, false, false};
  int open_errno[kFileCount] = {0, 0, 0};  // 0 means ENOENT
  std::string content[kFileCount];
  // Nonzero: every read of a served sysfs file fails with this errno.
  int read_errno = 0;
};

// From now on, opens of the three paths see these files.
void Serve(const Files& files);
// Opens of the three paths reach the real files again.
void StopServing();

// How many times the library opened one of the three paths while served.
int OpenCalls(File file);

// Descriptors this process holds now, counted in /proc/self/fd.
int OpenDescriptors();

}  // namespace fake_system_files

#endif  // VARNOK_TESTS_FAKE_SYSTEM_FILES_H_
