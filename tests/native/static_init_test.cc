// The C++ runtime's static initialisation as the library links it: the
// static runtime with its throws and its single-thread test redirected to
// runtime_shims.cc. Linked with the library's own runtime options, so a
// change there that breaks the guard fails here.
//
//   static_init_test concurrent   threads that meet an initialisation in
//                                 progress wait for it; it runs once
//   static_init_test throw        a throw ends the process with the
//                                 library's message, even inside a try
//                                 block whose handler would catch it

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "FAIL: %s\n", what);
    ++failures;
  }
}

// --- Concurrent first use ---------------------------------------------------

constexpr int kThreads = 8;
std::atomic<int> initialisations(0);
std::atomic<int> threads_arriving(0);

int SlowInitialiser() {
  initialisations.fetch_add(1);
  // Hold the initialisation open until every thread is on its way into it,
  // and a while longer, so that the others find it in progress and must
  // wait on the guard rather than find it done. A runtime that took the
  // process for single-threaded would take them for a recursion and throw.
  while (threads_arriving.load() < kThreads) sched_yield();
  const timespec pause = {0, 50 * 1000 * 1000};
  nanosleep(&pause, nullptr);
  return 42;
}

int Shared() {
  static const int value = SlowInitialiser();
  return value;
}

void* Reader(void* out) {
  threads_arriving.fetch_add(1);
  *static_cast<int*>(out) = Shared();
  return nullptr;
}

int Concurrent() {
  pthread_t threads[kThreads];
  int seen[kThreads] = {};
  // The first thread starts the initialisation; the others start once it
  // is running, so they all arrive while it is in progress.
  pthread_create(&threads[0], nullptr, Reader, &seen[0]);
  while (initialisations.load() == 0) sched_yield();
  for (int i = 1; i < kThreads; ++i) {
    pthread_create(&threads[i], nullptr, Reader, &seen[i]);
  }
  for (pthread_t& t : threads) pthread_join(t, nullptr);

  Check(initialisations.load() == 1, "the initialiser ran exactly once");
  for (int v : seen) {
    Check(v == 42, "every thread saw the initialised value");
  }
  Check(Shared() == 42, "the value stays initialised");
  Check(initialisations.load() == 1, "a later use does not initialise again");
  return failures;
}

// --- A throw ------------------------------------------------------------------

// Not inlined into the try block, so the compiler cannot resolve the throw
// against the handler itself.
__attribute__((noinline)) void Throw() { throw 7; }

int Throwing() {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) {
    perror("pipe");
    return 1;
  }
  const pid_t child = fork();
  if (child == 0) {
    dup2(pipe_fds[1], 2);
    close(pipe_fds[0]);
    try {
      Throw();
    } catch (int) {
      fputs("the exception was caught\n", stderr);
    }
    _exit(0);
  }
  close(pipe_fds[1]);
  std::string err;
  char buffer[256];
  ssize_t n;
  while ((n = read(pipe_fds[0], buffer, sizeof(buffer))) > 0) {
    err.append(buffer, static_cast<size_t>(n));
  }
  close(pipe_fds[0]);
  int status = 0;
  waitpid(child, &status, 0);

  Check(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT,
        "the throwing process was ended by abort()");
  Check(err.find("libvarnok_jni: a C++ exception was thrown inside the "
                 "library") != std::string::npos,
        "the throwing process said why");
  Check(err.find("was caught") == std::string::npos,
        "no handler ran");
  if (failures) fprintf(stderr, "its stderr:\n%s", err.c_str());
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  int result;
  if (strcmp(mode, "concurrent") == 0) {
    result = Concurrent();
  } else if (strcmp(mode, "throw") == 0) {
    result = Throwing();
  } else {
    fprintf(stderr, "usage: %s concurrent|throw\n", argv[0]);
    return 2;
  }
  printf("%s: %s\n", mode, result ? "FAILED" : "ok");
  return result ? 1 : 0;
}
