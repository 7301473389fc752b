#include "discipline_process.h"

#include <errno.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace varnok_discipline {

int64_t ClockNs(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return ts.tv_sec * kNs + ts.tv_nsec;
}

sigset_t stop_signals;

void Pause(int64_t ns) {
  const timespec t = {static_cast<time_t>(ns / kNs), static_cast<long>(ns % kNs)};
  const int sig = sigtimedwait(&stop_signals, nullptr, &t);
  if (sig > 0) throw Interrupted{sig};
}

pid_t Spawn(const std::vector<std::string>& args, int out_fd, int err_fd, bool own_group,
            int death_signal) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    sigprocmask(SIG_UNBLOCK, &stop_signals, nullptr);
    prctl(PR_SET_PDEATHSIG, death_signal, 0, 0, 0);
    if (own_group) setpgid(0, 0);
    if (out_fd >= 0) dup2(out_fd, 1);
    if (err_fd >= 0) dup2(err_fd, 2);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

int WaitFor(pid_t pid, int64_t timeout_ns, int* status) {
  const int64_t end = ClockNs(CLOCK_MONOTONIC) + timeout_ns;
  for (;;) {
    const pid_t got = waitpid(pid, status, WNOHANG);
    if (got == pid) return 1;
    if (got < 0) throw std::runtime_error(std::string("waitpid: ") + strerror(errno));
    if (ClockNs(CLOCK_MONOTONIC) >= end) return 0;
    Pause(20 * 1000000);
  }
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  int status;
  kill(pid, SIGTERM);
  for (int i = 0; i < 250; ++i) {
    if (waitpid(pid, &status, WNOHANG) != 0) return;
    usleep(20000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
}

}  // namespace varnok_discipline
