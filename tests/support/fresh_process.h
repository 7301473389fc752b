// Runs a block in a process of its own, for state that the library fixes
// once per process (the relative clock's factor, the Valgrind caches).
//
// The death-test machinery re-executes this test program for the one test,
// so the block starts from the library's load-time state; the block passes
// if it returns without a failed expectation. Where the program cannot be
// executed again (under a user-mode emulator that the kernel does not know
// as the handler of its binaries), the case is skipped and says so.

#ifndef VARNOK_TESTS_FRESH_PROCESS_H_
#define VARNOK_TESTS_FRESH_PROCESS_H_

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "gtest/gtest.h"

// Whether this program, executed again, runs: tried once per process.
inline bool CanExecuteAgain() {
  static const bool can = [] {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      execl(program_invocation_name, program_invocation_name,
            "--gtest_list_tests", "--gtest_filter=-*", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  }();
  return can;
}

#define EXPECT_IN_FRESH_PROCESS(...)                                    \
  do {                                                                  \
    if (!CanExecuteAgain()) {                                           \
      GTEST_SKIP() << "this program cannot be executed again here, so " \
                      "no fresh process (under an emulator, the kernel "\
                      "needs a binfmt_misc handler for its binaries)";  \
    }                                                                   \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                     \
    EXPECT_EXIT(                                                        \
        {                                                               \
          __VA_ARGS__;                                                  \
          exit(::testing::Test::HasFailure() ? 1 : 0);                  \
        },                                                              \
        ::testing::ExitedWithCode(0), "");                              \
  } while (0)

#endif  // VARNOK_TESTS_FRESH_PROCESS_H_
