// Runs a block in a process of its own, for state that the library fixes
// once per process (the relative clock's factor, the Valgrind caches).
//
// The death-test machinery re-executes this test program for the one test,
// so the block starts from the library's load-time state; the block passes
// if it returns without a failed expectation.

#ifndef VARNOK_TESTS_FRESH_PROCESS_H_
#define VARNOK_TESTS_FRESH_PROCESS_H_

#include <stdlib.h>

#include "gtest/gtest.h"

#define EXPECT_IN_FRESH_PROCESS(...)                                    \
  do {                                                                  \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                     \
    EXPECT_EXIT(                                                        \
        {                                                               \
          __VA_ARGS__;                                                  \
          exit(::testing::Test::HasFailure() ? 1 : 0);                  \
        },                                                              \
        ::testing::ExitedWithCode(0), "");                              \
  } while (0)

#endif  // VARNOK_TESTS_FRESH_PROCESS_H_
