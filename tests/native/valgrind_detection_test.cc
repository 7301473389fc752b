// Valgrind detection through the environment, and the race declarations it
// makes on every call. The answers are cached for the life of the process,
// so every case runs in a fresh one.
//
// memcheck runs this program with its fresh processes traced, so that it
// checks the detection's code under Valgrind. There the client request
// answers before the environment is asked: each process expects the answer
// for where it runs.

#include <stdlib.h>
#include <string.h>
#include <valgrind/valgrind.h>

#include <string>
#include <vector>

#include "dynamic_annotations/dynamic_annotations.h"
#include "gtest/gtest.h"
#include "tests/support/fresh_process.h"

namespace {

struct Declaration {
  std::string file;
  int line;
  const volatile void* address;
  size_t size;
  std::string description;
  double value_seen;  // the cache's content when it was declared
};

std::vector<Declaration>* g_declarations;

}  // namespace

// Receives the library's own calls, which go through the symbol table.
extern "C" void AnnotateBenignRaceSized(const char* file, int line,
                                        const volatile void* address,
                                        size_t size, const char* description) {
  if (g_declarations == nullptr) return;  // load-time declarations
  double seen = 0;
  if (size == sizeof(int)) {
    seen = *static_cast<const volatile int*>(address);
  } else if (size == sizeof(double)) {
    seen = *static_cast<const volatile double*>(address);
  }
  g_declarations->push_back({file, line, address, size, description, seen});
}

namespace {

using ValgrindDetectionTest = ::testing::Test;

bool UnderValgrind() { return RUNNING_ON_VALGRIND != 0; }

// Sets or (for nullptr) removes an environment variable.
void Env(const char* name, const char* value) {
  if (value == nullptr) {
    unsetenv(name);
  } else {
    setenv(name, value, 1);
  }
}

TEST_F(ValgrindDetectionTest, EnvironmentDecidesOutsideValgrind) {
  struct Case {
    const char* value;
    int want;
  };
  for (const Case& c : {Case{nullptr, 0}, Case{"0", 0}, Case{"1", 1},
                        Case{"", 1}, Case{"00", 1}, Case{"no", 1}}) {
    SCOPED_TRACE(c.value == nullptr ? "unset" : c.value);
    EXPECT_IN_FRESH_PROCESS({
      Env("RUNNING_ON_VALGRIND", c.value);
      Env("VALGRIND_SLOWDOWN", nullptr);
      // Under Valgrind no value, "0" included, turns detection off.
      const int want = UnderValgrind() ? 1 : c.want;
      EXPECT_EQ(RunningOnValgrind(), want);
      EXPECT_EQ(ValgrindSlowdown(), want ? 50.0 : 1.0);
    });
  }
}

TEST_F(ValgrindDetectionTest, FirstAnswerSticks) {
  EXPECT_IN_FRESH_PROCESS({
    Env("RUNNING_ON_VALGRIND", "1");
    EXPECT_EQ(RunningOnValgrind(), 1);
    Env("RUNNING_ON_VALGRIND", "0");
    EXPECT_EQ(RunningOnValgrind(), 1);
  });
  EXPECT_IN_FRESH_PROCESS({
    Env("RUNNING_ON_VALGRIND", nullptr);
    Env("VALGRIND_SLOWDOWN", nullptr);
    const int first = UnderValgrind() ? 1 : 0;
    EXPECT_EQ(RunningOnValgrind(), first);
    Env("RUNNING_ON_VALGRIND", first ? "0" : "1");
    EXPECT_EQ(RunningOnValgrind(), first);
    EXPECT_EQ(ValgrindSlowdown(), first ? 50.0 : 1.0);
  });
}

TEST_F(ValgrindDetectionTest, SlowdownComesFromTheEnvironmentOnce) {
  EXPECT_IN_FRESH_PROCESS({
    Env("RUNNING_ON_VALGRIND", "1");
    Env("VALGRIND_SLOWDOWN", "2.5");
    EXPECT_EQ(ValgrindSlowdown(), 2.5);
    Env("VALGRIND_SLOWDOWN", "7");
    EXPECT_EQ(ValgrindSlowdown(), 2.5);
  });
}

TEST_F(ValgrindDetectionTest, ASlowdownThatIsNoNumberIsReadAgainEachCall) {
  EXPECT_IN_FRESH_PROCESS({
    Env("RUNNING_ON_VALGRIND", "1");
    Env("VALGRIND_SLOWDOWN", "fast");
    EXPECT_EQ(ValgrindSlowdown(), 0.0);
    EXPECT_EQ(ValgrindSlowdown(), 0.0);
    Env("VALGRIND_SLOWDOWN", "3");
    EXPECT_EQ(ValgrindSlowdown(), 3.0);
  });
}

TEST_F(ValgrindDetectionTest, EveryCallDeclaresItsCacheAfterLoadingIt) {
  EXPECT_IN_FRESH_PROCESS({
    Env("RUNNING_ON_VALGRIND", "1");
    Env("VALGRIND_SLOWDOWN", nullptr);
    std::vector<Declaration> seen;
    g_declarations = &seen;
    RunningOnValgrind();
    ValgrindSlowdown();
    ValgrindSlowdown();
    g_declarations = nullptr;
    ASSERT_EQ(seen.size(), 5u);
    const Declaration& detect = seen[0];
    EXPECT_EQ(detect.file, "dynamic_annotations/dynamic_annotations.cc");
    EXPECT_EQ(detect.line, 152);
    EXPECT_EQ(detect.size, 4u);
    EXPECT_EQ(detect.description, "safe hack");
    EXPECT_EQ(detect.value_seen, -1);  // not yet computed
    const Declaration& slow = seen[1];
    EXPECT_EQ(slow.file, "dynamic_annotations/dynamic_annotations.cc");
    EXPECT_EQ(slow.line, 163);
    EXPECT_EQ(slow.size, 8u);
    EXPECT_EQ(slow.description, "safe hack");
    EXPECT_EQ(slow.value_seen, 0.0);
    // ValgrindSlowdown asks RunningOnValgrind, which declares again.
    EXPECT_EQ(seen[2].line, 152);
    EXPECT_EQ(seen[2].address, detect.address);
    EXPECT_EQ(seen[2].value_seen, 1);
    EXPECT_EQ(seen[3].line, 163);
    EXPECT_EQ(seen[3].address, slow.address);
    EXPECT_EQ(seen[3].value_seen, 50.0);
    EXPECT_EQ(seen[4].line, 152);
  });
}

TEST_F(ValgrindDetectionTest, OutsideValgrindTheSlowdownCacheIsLeftAlone) {
  if (UnderValgrind()) {
    GTEST_SKIP() << "needs to run outside Valgrind, where detection answers no";
  }
  EXPECT_IN_FRESH_PROCESS({
    Env("RUNNING_ON_VALGRIND", "0");
    Env("VALGRIND_SLOWDOWN", "4");
    std::vector<Declaration> seen;
    g_declarations = &seen;
    EXPECT_EQ(ValgrindSlowdown(), 1.0);
    EXPECT_EQ(ValgrindSlowdown(), 1.0);
    g_declarations = nullptr;
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[2].line, 163);
    EXPECT_EQ(seen[2].value_seen, 0.0);
    EXPECT_EQ(*static_cast<const volatile double*>(seen[2].address), 0.0);
  });
}

}  // namespace
