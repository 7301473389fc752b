// The library under a seccomp filter that kills at adjtimex and
// clock_adjtime (seccomp_run): init and both clocks must work there, across
// several real cycle epochs, since a sandboxed service cannot survive a
// clock that calls them. The same filter must kill a process that makes
// either call, or a pass would prove nothing.
//
// Each case runs this program again under seccomp_run, from exec on, so the
// library is loaded under the filter as a sandboxed service loads it.

#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/timex.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "com_vornix_common_unix_Varnok.h"
#include "java/com/vornix/common/unix/base/cycleclock.h"
#include "java/com/vornix/common/unix/base/sysinfo.h"

extern char** environ;

namespace {

namespace base = java_com_vornix_common_unix_base;

int64_t ClockNs(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return ts.tv_sec * int64_t{1000000000} + ts.tv_nsec;
}

uint64_t CounterEpoch() { return static_cast<uint64_t>(base::CycleClock::Now()) >> 32; }

// init, then both clocks in a loop until three cycle epochs have begun (each
// begins with a re-measurement), at most 20 s. The epoch clock must stay
// within a millisecond of CLOCK_REALTIME, the relative one must not go back
// by more, and over the run it must advance as CLOCK_MONOTONIC does.
int ReadClocks() {
  if (prctl(PR_GET_SECCOMP, 0, 0, 0, 0) != 2) {
    fprintf(stderr, "no seccomp filter is installed\n");
    return 1;
  }
  Java_com_vornix_common_unix_Varnok_init(nullptr, nullptr);
  const uint64_t first_epoch = CounterEpoch();
  const int64_t mono0 = ClockNs(CLOCK_MONOTONIC);
  const int64_t rel0 = Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(nullptr, nullptr);
  int64_t last_relative = rel0, worst = 0, reads = 0;
  int bad = 0;
  while (CounterEpoch() < first_epoch + 3 &&
         ClockNs(CLOCK_MONOTONIC) - mono0 < 20 * int64_t{1000000000}) {
    const int64_t before = ClockNs(CLOCK_REALTIME);
    const int64_t epoch = Java_com_vornix_common_unix_Varnok_nanoTimeEpoch1(nullptr, nullptr);
    const int64_t after = ClockNs(CLOCK_REALTIME);
    const int64_t relative = Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(nullptr, nullptr);
    // gettimeofday, which the clock is measured against, truncates to the us.
    const int64_t error = std::max(before - 1000 - epoch, epoch - after);
    worst = std::max(worst, error);
    if (error > 1000000 || relative < last_relative - 1000000) ++bad;
    last_relative = relative;
    ++reads;
    if (reads % 1024 == 0) usleep(100);
  }
  // Read together: the loop's last reading may lie a preempted sleep back.
  const int64_t rel_end = Java_com_vornix_common_unix_Varnok_nanoTimeRelative1(nullptr, nullptr);
  const double mono = static_cast<double>(ClockNs(CLOCK_MONOTONIC) - mono0);
  const double rel = static_cast<double>(rel_end - rel0);
  const uint64_t epochs = CounterEpoch() - first_epoch;
  printf("%lld reads over %llu epoch boundaries: worst error %lld ns, "
         "relative/monotonic %.6f\n",
         static_cast<long long>(reads), static_cast<unsigned long long>(epochs),
         static_cast<long long>(worst), rel / mono);
  if (bad || epochs < 2 || std::fabs(rel / mono - 1.0) > 1e-3) {
    fprintf(stderr, "%d bad reads, %llu epoch boundaries crossed (2 needed)\n", bad,
            static_cast<unsigned long long>(epochs));
    return 1;
  }
  return 0;
}

int Child(const std::string& what) {
  struct timex tx = {};  // modes 0: a read, which the filter kills all the same
  if (what == "adjtimex") return adjtimex(&tx) == -1 ? 3 : 2;
  if (what == "clock_adjtime") return syscall(SYS_clock_adjtime, CLOCK_REALTIME, &tx) == -1 ? 3 : 2;
  if (what == "clocks") return ReadClocks();
  fprintf(stderr, "unknown case %s\n", what.c_str());
  return 64;
}

std::string self_path;

TEST(Seccomp, FilterKillsTheClockCallsAndTheLibraryLivesUnderIt) {
  struct Case {
    const char* what;
    int signal;  // 0: must exit 0
  } const cases[] = {
      {"adjtimex", SIGSYS},
      {"clock_adjtime", SIGSYS},
      {"clocks", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const char* argv[] = {VARNOK_SECCOMP_RUN, self_path.c_str(), "--child", c.what, nullptr};
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    if (c.signal) {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signal) << "status " << status;
    } else {
      EXPECT_FALSE(WIFSIGNALED(status))
          << "killed by signal " << WTERMSIG(status)
          << (WTERMSIG(status) == SIGSYS ? ": the library made a call the filter forbids" : "");
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && strcmp(argv[1], "--child") == 0) return Child(argv[2]);
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return 1;
  self_path.assign(path, static_cast<size_t>(n));
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
