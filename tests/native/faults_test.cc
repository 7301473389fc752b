// Rate discovery and the sleep under injected faults: signals that keep
// interrupting the sleep, a sleep that fails, reads and opens that fail, a
// process out of descriptors. Each fault must end in a bounded, defined
// outcome, and discovery must leave no descriptor or stream behind.
//
// The kernel files are served by fake_system_files.cc and the raw kernel
// clock by scripted_host.cc. This program also defines nanosleep and the
// counter: the library's own calls reach them, so a measurement across the
// one-second sleep costs nothing and gives a known rate.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "java/com/vornix/common/unix/base/sysinfo.h"
#include "java/com/vornix/common/unix/base/time_support.h"
#include "tests/support/fake_system_files.h"
#include "tests/support/next_definition.h"
#include "tests/support/scripted_host.h"

namespace base = java_com_vornix_common_unix_base;
namespace fsf = fake_system_files;
namespace sh = scripted_host;

namespace {

constexpr int64_t kNsPerSecond = 1000000000;

// The scripted host's counter runs at the rate that the served cpuinfo
// states, so the check against the kernel's clock keeps that rate, and a
// measurement across the one-second sleep finds it too.
constexpr int64_t kTrueRate = 1800000000;
// What the check sleeps, after any measurement.
constexpr int64_t kCheckNs = 20000000;

// The scripted nanosleep: the first `interruptions` calls sleep `slice_ns`
// of the request (or all of it, if less) and fail with EINTR, reporting what
// is left; then a call fails with `final_errno` without sleeping, or sleeps
// the whole request.
struct Nanosleep {
  bool fake;
  int interruptions;
  int64_t slice_ns;
  int final_errno;
  int calls;
  int64_t slept_ns;
  int bad_requests;  // requests the kernel would refuse with EINVAL
} g_nanosleep;

int64_t Ns(const timespec& t) { return t.tv_sec * kNsPerSecond + t.tv_nsec; }

}  // namespace

extern "C" int nanosleep(const timespec* request, timespec* remainder) {
  if (!g_nanosleep.fake) {
    static const auto real =
        NextDefinition<int (*)(const timespec*, timespec*)>("nanosleep");
    return real(request, remainder);
  }
  ++g_nanosleep.calls;
  if (request->tv_sec < 0 || request->tv_nsec < 0 ||
      request->tv_nsec >= kNsPerSecond) {
    ++g_nanosleep.bad_requests;
    errno = EINVAL;
    return -1;
  }
  const int64_t want = Ns(*request);
  if (g_nanosleep.calls <= g_nanosleep.interruptions) {
    const int64_t part = want < g_nanosleep.slice_ns ? want : g_nanosleep.slice_ns;
    g_nanosleep.slept_ns += part;
    sh::Sleep(part);
    if (remainder != nullptr) {
      remainder->tv_sec = (want - part) / kNsPerSecond;
      remainder->tv_nsec = (want - part) % kNsPerSecond;
    }
    errno = EINTR;
    return -1;
  }
  if (g_nanosleep.final_errno != 0) {
    errno = g_nanosleep.final_errno;
    return -1;
  }
  g_nanosleep.slept_ns += want;
  sh::Sleep(want);
  return 0;
}

namespace {

class FaultsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sh::Host host;
    host.rate_hz = kTrueRate;
    sh::Start(host);
    g_nanosleep = {};
    g_nanosleep.fake = true;
    descriptors_ = fsf::OpenDescriptors();
    ASSERT_GT(descriptors_, 0);
  }
  void TearDown() override {
    fsf::StopServing();
    g_nanosleep.fake = false;
    sh::Stop();
    EXPECT_EQ(fsf::OpenDescriptors(), descriptors_) << "a descriptor leaked";
  }

  // Discovers the rate and returns it, with what it printed.
  static double Discover(std::string* printed = nullptr) {
    testing::internal::CaptureStderr();
    base::InitializeSystemInfo();
    const std::string err = testing::internal::GetCapturedStderr();
    if (printed != nullptr) *printed = err;
    return base::CyclesPerSecond();
  }

  static fsf::Files AllPresent() {
    fsf::Files files;
    for (bool& p : files.present) p = true;
    files.content[fsf::kTscFreqKhz] = "2600000\n";
    files.content[fsf::kCpuinfoMaxFreq] = "3500000\n";
    files.content[fsf::kCpuinfo] =
        "processor\t: 0\ncpu MHz\t\t: 1800.000\nbogomips\t: 5200.00\n";
    return files;
  }

  int descriptors_ = 0;
};

// --- The sleep ---------------------------------------------------------------

TEST_F(FaultsTest, ASleepInterruptedManyTimesStillSleepsTheWholeDuration) {
  // Interrupted 5000 times, each after 0.1 ms: resumed with what is left.
  g_nanosleep.interruptions = 5000;
  g_nanosleep.slice_ns = 100000;
  base::SleepForMilliseconds(1000);
  EXPECT_EQ(g_nanosleep.calls, 5001);
  EXPECT_EQ(g_nanosleep.slept_ns, kNsPerSecond);  // all of it, and no more
  EXPECT_EQ(g_nanosleep.bad_requests, 0);

  // A storm of signals before any of the sleep has passed.
  g_nanosleep = {};
  g_nanosleep.fake = true;
  g_nanosleep.interruptions = 20000;
  g_nanosleep.slice_ns = 0;
  base::SleepForMilliseconds(1500);
  EXPECT_EQ(g_nanosleep.calls, 20001);
  EXPECT_EQ(g_nanosleep.slept_ns, 1500 * int64_t{1000000});
}

TEST_F(FaultsTest, ASleepThatFailsOtherwiseEndsSilently) {
  for (const int err : {EINVAL, EFAULT, ENOSYS}) {
    g_nanosleep = {};
    g_nanosleep.fake = true;
    g_nanosleep.interruptions = 3;
    g_nanosleep.slice_ns = 1000000;
    g_nanosleep.final_errno = err;
    testing::internal::CaptureStderr();
    base::SleepForMilliseconds(1000);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << err;
    EXPECT_EQ(g_nanosleep.calls, 4) << err;
    EXPECT_EQ(g_nanosleep.slept_ns, 3000000) << err;
  }
}

TEST_F(FaultsTest, AMeasurementWhoseSleepIsInterruptedStillSpansOneSecond) {
  fsf::Files files;
  files.present[fsf::kCpuinfo] = false;  // forces the measurement
  fsf::Serve(files);
  g_nanosleep.interruptions = 999;
  g_nanosleep.slice_ns = 1000000;  // a signal every millisecond
  std::string printed;
  EXPECT_EQ(Discover(&printed), static_cast<double>(kTrueRate));
  EXPECT_EQ(printed, "/proc/cpuinfo: No such file or directory\n");
  // Then the check's sleep, whole.
  EXPECT_EQ(g_nanosleep.calls, 1001);
  EXPECT_EQ(g_nanosleep.slept_ns, kNsPerSecond + kCheckNs);
}

// --- Failing opens and reads ---------------------------------------------------

TEST_F(FaultsTest, FailingReadsOfTheSysfsFilesFallThroughToCpuinfo) {
  fsf::Files files = AllPresent();
  files.read_errno = EIO;
  fsf::Serve(files);
  std::string printed;
  EXPECT_EQ(Discover(&printed), 1800e6);
  EXPECT_EQ(printed, "");
  EXPECT_EQ(fsf::OpenCalls(fsf::kTscFreqKhz), 1);
  EXPECT_EQ(fsf::OpenCalls(fsf::kCpuinfoMaxFreq), 1);
  EXPECT_EQ(g_nanosleep.slept_ns, kCheckNs);  // no measurement
}

TEST_F(FaultsTest, FailingOpensOfTheSysfsFilesFallThroughSilently) {
  for (const int err : {EMFILE, ENFILE, EACCES, EIO}) {
    fsf::Files files = AllPresent();
    files.present[fsf::kTscFreqKhz] = files.present[fsf::kCpuinfoMaxFreq] = false;
    files.open_errno[fsf::kTscFreqKhz] = files.open_errno[fsf::kCpuinfoMaxFreq] = err;
    fsf::Serve(files);
    std::string printed;
    EXPECT_EQ(Discover(&printed), 1800e6) << err;
    EXPECT_EQ(printed, "") << err;
  }
}

TEST_F(FaultsTest, CpuinfoFailingToOpenIsReportedAndTheRateMeasured) {
  const struct {
    int err;
    const char* message;
  } cases[] = {
      {EMFILE, "/proc/cpuinfo: Too many open files\n"},
      {ENFILE, "/proc/cpuinfo: Too many open files in system\n"},
      {EACCES, "/proc/cpuinfo: Permission denied\n"},
  };
  for (const auto& c : cases) {
    fsf::Files files = AllPresent();  // the sysfs rate is read, then replaced
    files.present[fsf::kCpuinfo] = false;
    files.open_errno[fsf::kCpuinfo] = c.err;
    fsf::Serve(files);
    g_nanosleep.calls = 0;
    g_nanosleep.slept_ns = 0;
    std::string printed;
    EXPECT_EQ(Discover(&printed), static_cast<double>(kTrueRate)) << c.err;
    EXPECT_EQ(printed, c.message);
    EXPECT_EQ(g_nanosleep.slept_ns, kNsPerSecond + kCheckNs) << c.err;
    EXPECT_EQ(fsf::OpenCalls(fsf::kTscFreqKhz), 1) << c.err;
  }
}

TEST_F(FaultsTest, AProcessOutOfDescriptorsMeasuresTheRate) {
  // Real exhaustion, against the real files: lower the limit and fill every
  // descriptor below it.
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  testing::internal::CaptureStderr();  // needs a descriptor of its own
  std::vector<int> fillers;
  for (;;) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd == -1) break;
    fillers.push_back(fd);
  }
  const int exhausted = errno;
  base::InitializeSystemInfo();
  const double rate = base::CyclesPerSecond();
  for (const int fd : fillers) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  const std::string printed = testing::internal::GetCapturedStderr();

  ASSERT_EQ(exhausted, EMFILE);
  EXPECT_EQ(printed, "/proc/cpuinfo: Too many open files\n");
  EXPECT_EQ(rate, static_cast<double>(kTrueRate));
}

// --- Descriptor hygiene --------------------------------------------------------

TEST_F(FaultsTest, ThousandsOfDiscoveriesLeaveNoDescriptorBehind) {
  std::vector<fsf::Files> setups;
  setups.push_back(AllPresent());
  {
    fsf::Files f = AllPresent();
    f.content[fsf::kTscFreqKhz] = "2600000 kHz\n";  // refused: next file
    f.content[fsf::kCpuinfoMaxFreq] = "";
    setups.push_back(f);
  }
  {
    fsf::Files f = AllPresent();
    f.read_errno = EIO;
    setups.push_back(f);
  }
  {
    fsf::Files f;  // no sysfs files; a long cpuinfo with only bogomips
    f.present[fsf::kCpuinfo] = true;
    for (int i = 0; i < 64; ++i) {
      f.content[fsf::kCpuinfo] += "processor\t: " + std::to_string(i) +
                                  "\nflags\t\t: " + std::string(3000, 'x') +
                                  "\nbogomips\t: 5187.81\n";
    }
    setups.push_back(f);
  }
  {
    fsf::Files f = AllPresent();
    f.present[fsf::kCpuinfo] = false;  // measured
    setups.push_back(f);
  }
  {
    fsf::Files f = AllPresent();  // rates that the guard replaces
    f.content[fsf::kTscFreqKhz] = "0\n";
    setups.push_back(f);
  }
  for (int i = 0; i < 3000; ++i) {
    fsf::Serve(setups[i % setups.size()]);
    Discover();
    ASSERT_EQ(fsf::OpenDescriptors(), descriptors_) << "after call " << i;
  }
  // And against the machine's own files.
  fsf::StopServing();
  for (int i = 0; i < 2000; ++i) {
    Discover();
    ASSERT_EQ(fsf::OpenDescriptors(), descriptors_) << "after real call " << i;
  }
  EXPECT_GE(base::CyclesPerSecond(), 1e8);
}

}  // namespace
