#include "discipline_kernel.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "discipline_reference.h"

namespace varnok_discipline {

struct timex saved;

void Adjtimex(struct timex* tx, const char* what) {
  if (adjtimex(tx) == -1) throw std::runtime_error(std::string("adjtimex (") + what + "): " + strerror(errno));
}

struct timex ReadKernel() {
  struct timex tx = {};
  Adjtimex(&tx, "read");
  return tx;
}

void Restore() {
  struct timex tx = {};
  tx.modes = ADJ_OFFSET_SINGLESHOT;  // adjtime()'s slew, offset 0: cancelled
  adjtimex(&tx);
  // The PLL takes an offset only while STA_PLL is set: 0 cancels what remains.
  tx = {};
  tx.modes = ADJ_STATUS | ADJ_OFFSET;
  tx.status = STA_PLL;
  adjtimex(&tx);
  // In microsecond mode the kernel adds 4 to a time constant it is given but
  // reports its own, so the constant goes back in nanosecond mode.
  tx = {};
  tx.modes = ADJ_STATUS | ADJ_NANO | ADJ_FREQUENCY | ADJ_TICK | ADJ_MAXERROR |
             ADJ_ESTERROR | ADJ_TIMECONST;
  tx.status = saved.status;
  tx.freq = saved.freq;
  tx.tick = saved.tick;
  tx.maxerror = saved.maxerror;
  tx.esterror = saved.esterror;
  tx.constant = saved.constant;
  adjtimex(&tx);
  if (!(saved.status & STA_NANO)) {
    tx = {};
    tx.modes = ADJ_MICRO;
    adjtimex(&tx);
  }
}

void Undisciplined() {
  Restore();
  struct timex tx = {};
  tx.modes = ADJ_STATUS;
  tx.status = STA_UNSYNC;
  Adjtimex(&tx, "status");
}

namespace {

// chronyd is not the guardian's child: it is gone when /proc no longer shows
// it running.
void StopChronyd(pid_t chronyd) {
  if (chronyd <= 0 || kill(chronyd, SIGTERM) != 0) return;
  for (int i = 0; i < 100; ++i) {
    char path[64], state = 'Z';
    snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(chronyd));
    FILE* f = fopen(path, "r");
    if (!f) break;
    const int got = fscanf(f, "%*d %*s %c", &state);
    fclose(f);
    if (got != 1 || state == 'Z' || state == 'X') break;
    usleep(50000);
    if (i == 80) kill(chronyd, SIGKILL);
  }
}

[[noreturn]] void Guard(int announcements, pid_t parent) {
  signal(SIGINT, SIG_IGN);
  signal(SIGTERM, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  pid_t chronyd = 0, announced;
  while (read(announcements, &announced, sizeof(announced)) == sizeof(announced)) chronyd = announced;
  StopChronyd(chronyd);
  Restore();
  // The reference's segment, if this process made it and nothing uses it.
  struct shmid_ds ds;
  const int id = shmget(kShmKey, 0, 0);
  if (id >= 0 && shmctl(id, IPC_STAT, &ds) == 0 && ds.shm_cpid == parent && ds.shm_nattch == 0) {
    shmctl(id, IPC_RMID, nullptr);
  }
  _exit(0);
}

}  // namespace

int StartGuardian() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid > 0) {
    close(fds[0]);
    return fds[1];
  }
  close(fds[1]);
  Guard(fds[0], getppid());
}

void Announce(int guardian, pid_t chronyd) {
  if (write(guardian, &chronyd, sizeof(chronyd)) != sizeof(chronyd)) {
    throw std::runtime_error("the guardian is gone");
  }
}

std::string OtherDaemon() {
  static const char* const names[] = {"chronyd", "ntpd", "systemd-timesyn", "ptp4l", "phc2sys"};
  DIR* proc = opendir("/proc");
  std::string found;
  while (dirent* e = proc ? readdir(proc) : nullptr) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::ifstream comm(std::string("/proc/") + e->d_name + "/comm");
    std::string name;
    if (!std::getline(comm, name)) continue;
    for (const char* n : names) {
      if (name == n) found += (found.empty() ? "" : ", ") + name + " (pid " + e->d_name + ")";
    }
  }
  if (proc) closedir(proc);
  return found;
}

void FreqRange::Take() {
  const struct timex tx = ReadKernel();
  const double ppm = static_cast<double>(tx.freq) / 65536.0;
  low = std::min(low, ppm);
  high = std::max(high, ppm);
  tick_low = std::min(tick_low, tx.tick);
  tick_high = std::max(tick_high, tx.tick);
}

void FreqRange::ExpectUnchanged(double ppm, double tolerance_ppm, long tick) const {
  if (low > high) return;  // never read
  if (low < ppm - tolerance_ppm || high > ppm + tolerance_ppm || tick_low != tick ||
      tick_high != tick) {
    throw std::runtime_error("something else changed the kernel's clock during the run (" +
                             Describe() + "): the figures are not this scenario's");
  }
}

std::string FreqRange::Describe() const {
  char s[128];
  snprintf(s, sizeof(s), "kernel frequency %+.1f..%+.1f ppm, tick %ld..%ld us", low, high,
           tick_low, tick_high);
  return s;
}

}  // namespace varnok_discipline
