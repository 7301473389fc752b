#include "discipline_reference.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "discipline_kernel.h"
#include "discipline_process.h"

namespace varnok_discipline {
namespace {

// The classic NTP shared-memory segment, as ntpd's SHM driver defines it.
struct ShmTime {
  int mode;  // 1: count and valid protocol
  volatile int count;
  time_t clockTimeStampSec;  // the reference's time
  int clockTimeStampUSec;
  time_t receiveTimeStampSec;  // the system clock's at that moment
  int receiveTimeStampUSec;
  int leap;
  int precision;
  int nsamples;
  volatile int valid;
  unsigned clockTimeStampNSec;
  unsigned receiveTimeStampNSec;
  int dummy[8];
};

class ShmSegment {
 public:
  ShmSegment() {
    id_ = shmget(kShmKey, sizeof(ShmTime), IPC_CREAT | IPC_EXCL | 0600);
    created_ = id_ >= 0;
    if (!created_) id_ = shmget(kShmKey, sizeof(ShmTime), 0600);
    if (id_ < 0) throw std::runtime_error(std::string("shmget NTP0: ") + strerror(errno));
    void* p = shmat(id_, nullptr, 0);
    if (p == reinterpret_cast<void*>(-1)) throw std::runtime_error("shmat NTP0");
    shm_ = static_cast<ShmTime*>(p);
    memset(shm_, 0, sizeof(*shm_));
  }
  ~ShmSegment() {
    shmdt(shm_);
    if (created_) shmctl(id_, IPC_RMID, nullptr);
  }
  // One sample: the reference's time at the system clock's time now.
  void Write(int64_t reference_ns, int64_t system_ns) {
    ShmTime& s = *shm_;
    s.valid = 0;
    s.count = s.count + 1;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    s.mode = 1;
    s.clockTimeStampSec = static_cast<time_t>(reference_ns / kNs);
    s.clockTimeStampNSec = static_cast<unsigned>(reference_ns % kNs);
    s.clockTimeStampUSec = static_cast<int>(s.clockTimeStampNSec / 1000);
    s.receiveTimeStampSec = static_cast<time_t>(system_ns / kNs);
    s.receiveTimeStampNSec = static_cast<unsigned>(system_ns % kNs);
    s.receiveTimeStampUSec = static_cast<int>(s.receiveTimeStampNSec / 1000);
    s.leap = 0;
    s.precision = -20;
    s.nsamples = 3;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    s.count = s.count + 1;
    s.valid = 1;
  }

 private:
  int id_ = -1;
  bool created_ = false;
  ShmTime* shm_ = nullptr;
};

// A temporary directory, removed with what chronyd left in it.
struct TempDir {
  std::string path;
  TempDir() {
    char tmpl[] = "/tmp/varnok-discipline-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    path = tmpl;
  }
  ~TempDir() {
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') unlink((path + "/" + e->d_name).c_str());
      }
      closedir(d);
    }
    rmdir(path.c_str());
  }
};

// Returns the configuration's path.
std::string WriteChronydConf(const TempDir& dir) {
  const std::string conf = dir.path + "/chrony.conf";
  std::ofstream f(conf);
  f << "# no servers, no network, no command socket: only the test's reference\n"
       "port 0\ncmdport 0\nbindcmdaddress /\n"
    << "pidfile " << dir.path << "/chronyd.pid\n"
    << "driftfile " << dir.path << "/chrony.drift\n"
    << "# no makestep: every offset is slewed\n"
       "refclock SHM 0 poll 0 dpoll -2 precision 1e-7 refid VNK\n";
  if (!f) throw std::runtime_error("cannot write " + conf);
  return conf;
}

std::string ChronydLog(const std::string& log) {
  std::ifstream f(log);
  std::stringstream s;
  s << f.rdbuf();
  return "\nchronyd's log:\n" + s.str();
}

// chronyd, stopped and withdrawn from the guardian on every way out.
struct Daemon {
  pid_t pid;
  int guardian;
  ~Daemon() {
    Stop(pid);
    try {
      Announce(guardian, 0);
    } catch (...) {
    }
  }
};

// init runs while chronyd slews: as soon as it has moved the frequency.
void AwaitSlewing(Daemon* daemon, const std::string& log) {
  const struct timex before = ReadKernel();
  for (int64_t end = ClockNs(CLOCK_MONOTONIC) + 60 * kNs;;) {
    int status;
    if (waitpid(daemon->pid, &status, WNOHANG) == daemon->pid) {
      daemon->pid = -1;
      throw std::runtime_error("chronyd exited (status " + std::to_string(status) + ")" + ChronydLog(log));
    }
    const struct timex now = ReadKernel();
    if (std::labs(now.freq - before.freq) > 65536 || now.tick != before.tick) break;
    if (ClockNs(CLOCK_MONOTONIC) > end) {
      throw std::runtime_error("chronyd did not start to slew within 60 s" + ChronydLog(log));
    }
    Pause(20 * 1000000);
  }
}

// Takes the reference's offset away and waits, up to a minute, until
// chronyd has slewed the host's clock back by it (CLOCK_REALTIME against
// CLOCK_MONOTONIC_RAW, within 1 ms).
void SlewBack(std::atomic<bool>* returning, int64_t offset_ns) {
  const int64_t lead = ClockNs(CLOCK_REALTIME) - ClockNs(CLOCK_MONOTONIC_RAW);
  returning->store(true);
  for (int64_t end = ClockNs(CLOCK_MONOTONIC) + 60 * kNs; ClockNs(CLOCK_MONOTONIC) < end;) {
    const int64_t moved = lead - (ClockNs(CLOCK_REALTIME) - ClockNs(CLOCK_MONOTONIC_RAW));
    if (std::llabs(moved - offset_ns) < 1000000) return;
    Pause(100 * 1000000);
  }
  throw std::runtime_error("chronyd did not slew the host's clock back within a minute");
}

// chronyd following a reference through SHM 0: the raw clock, as an
// oscillator would be, offset_ns ahead of the system clock at the start and
// gaining on it by first_ppm in the first half of the measurement and
// second_ppm in the second; with back, the offset is taken away again once
// the measurement is done, and chronyd slews the host's clock back to where
// it found it before it is stopped. init comes delay_ns after chronyd
// starts to slew.
Result Follow(const Options& o, double seconds, std::string* note, int64_t offset_ns,
              double first_ppm, double second_ppm, bool back, int64_t delay_ns) {
  TempDir dir;
  const std::string conf = WriteChronydConf(dir), log = dir.path + "/chronyd.log";
  Undisciplined();
  const int64_t raw0 = ClockNs(CLOCK_MONOTONIC_RAW);
  const int64_t reference0 = ClockNs(CLOCK_REALTIME) + offset_ns;
  std::atomic<int64_t> switch_at{INT64_MAX};  // raw ns from raw0
  std::atomic<bool> returning{false};
  ShmSegment shm;
  auto reference = [&](int64_t raw) {
    const int64_t e = raw - raw0, s = std::min(e, switch_at.load());
    return reference0 + e + static_cast<int64_t>(first_ppm * 1e-6 * s + second_ppm * 1e-6 * (e - s)) -
           (returning.load() ? offset_ns : 0);
  };
  Feeder feeder(100 * 1000000, [&] {
    const int64_t a = ClockNs(CLOCK_MONOTONIC_RAW), sys = ClockNs(CLOCK_REALTIME),
                  b = ClockNs(CLOCK_MONOTONIC_RAW);
    shm.Write(reference(a + (b - a) / 2), sys);
  });

  const int log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (log_fd < 0) throw std::runtime_error("cannot open " + log);
  Daemon daemon{Spawn({o.chronyd, "-d", "-u", "root", "-f", conf}, log_fd, log_fd, true, SIGTERM),
                o.guardian};
  close(log_fd);
  Announce(o.guardian, daemon.pid);
  AwaitSlewing(&daemon, log);
  if (delay_ns > 0) Pause(delay_ns);
  const int64_t started = ClockNs(CLOCK_MONOTONIC_RAW) - raw0;
  switch_at = started + static_cast<int64_t>(seconds / 2 * 1e9);
  FreqRange range;
  const Result r = RunMeasurement(o, seconds, [&] { range.Take(); });
  *note = "init " + std::to_string(started / 1000000) + " ms after the reference appeared, " +
          range.Describe();
  if (back) SlewBack(&returning, offset_ns);
  return r;
}

}  // namespace

// 3 ms ahead, then +30 and -20 ppm: chronyd slews the 3 ms away and then
// changes the frequency twice.
Result Chronyd(const Options& o, double seconds, std::string* note) {
  return Follow(o, seconds, note, 3000000, 30, -20, false, 0);
}

// 500 ms ahead, and back at the half: chronyd slews the host's clock half a
// second forwards at its fastest, and then back to where it was.
Result ChronydFast(const Options& o, double seconds, std::string* note) {
  return Follow(o, seconds, note, 500000000, 0, 0, true, 3000000000);
}

}  // namespace varnok_discipline
