// varnok_with_kernel_frequency: runs a command while the kernel's frequency
// correction of CLOCK_REALTIME is set to a chosen value, as an NTP daemon
// sets it, and puts the machine's own value back afterwards whatever happens.
//
//   usage: varnok_with_kernel_frequency PPM COMMAND [ARG...]
//
// The correction changes the clock of every process on the machine, so
// leaving it altered is worse than never changing it. It is put back
//  - by this program when the command ends, however it ends (its status,
//    or 128 + the signal that ended it, is passed on);
//  - by this program, after passing the signal on to the command, when it
//    receives SIGINT, SIGTERM, SIGHUP or SIGQUIT;
//  - by a guardian in a session of its own when this program dies in a way
//    it cannot handle (SIGKILL, a test driver's time-out killing the
//    process group): the guardian waits on a pipe that only this program
//    holds and restores the value once the pipe closes.
// Only a SIGKILL of the guardian as well, or the machine stopping, leaves
// the value changed; the program prints the value it found first so that
// it can be put back by hand (adjtimex -f).
//
// It refuses, exiting 77 having said why, when it may not set the clock
// (not root) or when an NTP daemon is disciplining the clock, whose work it
// would undo.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/timex.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>

namespace {

constexpr int kSkip = 77;
constexpr long kPpmScale = 65536;  // adjtimex's freq is in 2^-16 ppm
// What a terminal or a test driver sends to stop a run.
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

bool SetFrequency(long freq) {
  struct timex tx;
  memset(&tx, 0, sizeof(tx));
  tx.modes = ADJ_FREQUENCY;
  tx.freq = freq;
  return adjtimex(&tx) != -1;
}

bool ReadFrequency(struct timex* tx) {
  memset(tx, 0, sizeof(*tx));
  return adjtimex(tx) != -1;
}

// Forks the guardian: in a session of its own, deaf to the signals a
// terminal or test driver sends a process group, it restores `original`
// once the pipe's write end (held by this program alone) closes.
pid_t StartGuardian(long original, int* write_end) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[1]);
    setsid();
    for (const int sig : kStopSignals) signal(sig, SIG_IGN);
    char byte;
    while (read(fds[0], &byte, 1) > 0 || errno == EINTR) {
    }
    _exit(SetFrequency(original) ? 0 : 1);
  }
  close(fds[0]);
  *write_end = fds[1];
  return pid;
}

volatile sig_atomic_t g_child = 0;

void PassOn(int sig) {
  if (g_child > 0) kill(g_child, sig);
}

// Reads PPM from the command line into *ppm; false (having printed the
// usage) when there is no command or PPM is not a number within the
// kernel's limit.
bool ParseArguments(int argc, char** argv, double* ppm) {
  char* end = nullptr;
  *ppm = argc >= 3 ? strtod(argv[1], &end) : NAN;
  if (argc < 3 || end == argv[1] || *end != '\0' || !(std::fabs(*ppm) <= 500)) {
    fprintf(stderr,
            "usage: %s PPM COMMAND [ARG...]   (|PPM| <= 500, the kernel's "
            "limit)\n",
            argv[0]);
    return false;
  }
  return true;
}

// Reads the kernel's correction into *found; false, having said why it
// skips, when the frequency may not be set here.
bool MaySetFrequency(struct timex* found) {
  if (!ReadFrequency(found)) {
    printf("SKIPPED: adjtimex cannot be read: %s\n", strerror(errno));
    return false;
  }
  if (geteuid() != 0) {
    printf("SKIPPED: setting the kernel's frequency needs root\n");
    return false;
  }
  if (!(found->status & STA_UNSYNC)) {
    printf("SKIPPED: an NTP daemon disciplines this clock (status 0x%x); "
           "changing its frequency would undo its work\n",
           static_cast<unsigned>(found->status));
    return false;
  }
  return true;
}

// Sets `wanted`, runs the command `argv` with the stop signals passed on to
// it, and returns its status (128 + the signal that ended it), or 1 when
// the kernel did not take the value or the command could not be started.
int RunAtFrequency(long wanted, char** argv) {
  struct sigaction pass_on;
  memset(&pass_on, 0, sizeof(pass_on));
  pass_on.sa_handler = PassOn;
  for (const int sig : kStopSignals) sigaction(sig, &pass_on, nullptr);

  struct timex now;
  if (!SetFrequency(wanted) || !ReadFrequency(&now) || now.freq != wanted) {
    fprintf(stderr, "the kernel did not take freq %ld: %s\n", wanted,
            strerror(errno));
    return 1;
  }
  const pid_t child = fork();
  if (child == 0) {
    for (const int sig : kStopSignals) signal(sig, SIG_DFL);
    execvp(argv[0], argv);
    perror(argv[0]);
    _exit(127);
  }
  g_child = child;
  int status = 0;
  while (child > 0 && waitpid(child, &status, 0) == -1 && errno == EINTR) {
  }
  return child < 0                ? 1
         : WIFEXITED(status)      ? WEXITSTATUS(status)
         : WIFSIGNALED(status)    ? 128 + WTERMSIG(status)
                                  : 1;
}

// Puts `original` back, lets the guardian end, and checks that the kernel
// holds `original` again.
bool Restore(long original, pid_t guardian, int guard_fd) {
  const bool restored = SetFrequency(original);
  close(guard_fd);  // the guardian restores too, then ends
  int guardian_status = 0;
  while (waitpid(guardian, &guardian_status, 0) == -1 && errno == EINTR) {
  }
  struct timex now;
  return restored && ReadFrequency(&now) && now.freq == original;
}

}  // namespace

int main(int argc, char** argv) {
  double ppm;
  if (!ParseArguments(argc, argv, &ppm)) return 2;
  struct timex found;
  if (!MaySetFrequency(&found)) return kSkip;
  const long original = found.freq;
  const long wanted = std::lround(ppm * kPpmScale);
  printf("kernel frequency: %+.3f ppm found (freq %ld), %+.3f ppm set for "
         "the command\n",
         static_cast<double>(original) / kPpmScale, original,
         static_cast<double>(wanted) / kPpmScale);
  fflush(stdout);

  int guard_fd = -1;
  const pid_t guardian = StartGuardian(original, &guard_fd);
  if (guardian < 0) {
    perror("guardian");
    return 1;
  }
  const int result = RunAtFrequency(wanted, argv + 2);
  if (!Restore(original, guardian, guard_fd)) {
    fprintf(stderr,
            "FAILED to restore the kernel frequency: put it back with "
            "adjtimex, freq %ld\n",
            original);
    return 1;
  }
  printf("kernel frequency restored: freq %ld\n", original);
  return result;
}
