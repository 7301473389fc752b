// Time, children and signals for discipline_accuracy: everything that waits
// can be stopped by SIGINT, SIGTERM or SIGHUP, which unwinds like a failure.
#ifndef VARNOK_TESTS_DISCIPLINE_PROCESS_H_
#define VARNOK_TESTS_DISCIPLINE_PROCESS_H_

#include <signal.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace varnok_discipline {

constexpr int64_t kNs = 1000000000;

int64_t ClockNs(clockid_t id);

// SIGINT, SIGTERM and SIGHUP are blocked in every thread and taken here, so
// that stopping unwinds like any failure: the feeder stops, chronyd is
// stopped, the discipline restored.
extern sigset_t stop_signals;

struct Interrupted {
  int signal;
};

// Sleeps, or throws Interrupted when a stop signal arrives.
void Pause(int64_t ns);

// A child that starts from exec with the signals unblocked and dies with
// this process.
pid_t Spawn(const std::vector<std::string>& args, int out_fd, int err_fd, bool own_group,
            int death_signal);

// Waits up to timeout for the child; 0 if it is still running.
int WaitFor(pid_t pid, int64_t timeout_ns, int* status);

// Stops a child, SIGKILL after 5 s. Not interruptible: it runs while a
// failure or a signal unwinds.
void Stop(pid_t pid);

// A thread that calls step() every period_ns until stopped; joined when it
// goes out of scope, on every path.
class Feeder {
 public:
  Feeder(int64_t period_ns, std::function<void()> step)
      : thread_([this, period_ns, step] {
          for (;;) {
            step();
            const int64_t next = ClockNs(CLOCK_MONOTONIC) + period_ns;
            do {
              if (stop_.load()) return;
              const timespec t = {0, 10000000};
              nanosleep(&t, nullptr);
            } while (ClockNs(CLOCK_MONOTONIC) < next);
          }
        }) {}
  ~Feeder() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace varnok_discipline

#endif  // VARNOK_TESTS_DISCIPLINE_PROCESS_H_
