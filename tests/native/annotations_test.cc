// The annotation entry points outside any tool: callable with anything, from
// anywhere, and touching nothing.

#include "dynamic_annotations/dynamic_annotations.h"

#include <string.h>

#include <thread>
#include <vector>

#include "gtest/gtest.h"

namespace {

// A guarded buffer: the entry points get its middle, and the guards show
// whether anything around or inside it was written.
struct Canary {
  unsigned char bytes[96];
  Canary() { memset(bytes, 0xA5, sizeof(bytes)); }
  void* middle() { return bytes + 32; }
  bool untouched() const {
    for (unsigned char b : bytes) {
      if (b != 0xA5) return false;
    }
    return true;
  }
};

void CallEveryEntryPoint(const char* file, int line, void* p) {
  AnnotateRWLockCreate(file, line, p);
  AnnotateRWLockDestroy(file, line, p);
  AnnotateRWLockAcquired(file, line, p, 1);
  AnnotateRWLockReleased(file, line, p, -1);
  AnnotateBarrierInit(file, line, p, INT64_MAX, INT64_MIN);
  AnnotateBarrierWaitBefore(file, line, p);
  AnnotateBarrierWaitAfter(file, line, p);
  AnnotateBarrierDestroy(file, line, p);
  AnnotateExpectRace(file, line, p, nullptr);
  AnnotateBenignRace(file, line, p, "why");
  AnnotateBenignRaceSized(file, line, p, 32, nullptr);
  AnnotateTraceMemory(file, line, p);
  AnnotateThreadName(file, line, nullptr);
  AnnotateIgnoreReadsBegin(file, line);
  AnnotateIgnoreReadsEnd(file, line);
  AnnotateIgnoreWritesBegin(file, line);
  AnnotateIgnoreWritesEnd(file, line);
  AnnotateEnableRaceDetection(file, line, -7);
  AnnotateNoOp(file, line, p);
  // Last the one that leaves the range defined, so that under memcheck
  // the canary can still be read.
  AnnotateMemoryIsUninitialized(file, line, p, 32);
  AnnotateMemoryIsInitialized(file, line, p, 32);
}

TEST(AnnotationsTest, EntryPointsTouchNothingWhateverTheirArguments) {
  Canary canary;
  CallEveryEntryPoint(__FILE__, __LINE__, canary.middle());
  CallEveryEntryPoint(nullptr, -1, nullptr);
  CallEveryEntryPoint("", INT32_MIN, canary.middle());
  EXPECT_TRUE(canary.untouched());
}

TEST(AnnotationsTest, MemoryAnnotationsAcceptEmptyAndNullRanges) {
  Canary canary;
  AnnotateMemoryIsInitialized(__FILE__, __LINE__, nullptr, 0);
  AnnotateMemoryIsUninitialized(__FILE__, __LINE__, nullptr, 0);
  AnnotateMemoryIsInitialized(__FILE__, __LINE__, canary.middle(), 0);
  AnnotateMemoryIsUninitialized(__FILE__, __LINE__, canary.middle(), 0);
  EXPECT_TRUE(canary.untouched());
}

// The macros are what library code uses: each must call its own entry point
// with the file and line where it is written. Inside this namespace their
// unqualified calls find these recorders before the library's functions.
namespace macro_sites {

struct Site {
  const char* entry;
  const char* file;
  int line;
};
Site g_seen;
int g_object;

#define RECORDER(entry) \
  template <typename... Rest> \
  void entry(const char* file, int line, Rest...) { g_seen = {#entry, file, line}; }
RECORDER(AnnotateRWLockCreate) RECORDER(AnnotateRWLockDestroy)
RECORDER(AnnotateRWLockAcquired) RECORDER(AnnotateRWLockReleased)
RECORDER(AnnotateBarrierInit) RECORDER(AnnotateBarrierWaitBefore)
RECORDER(AnnotateBarrierWaitAfter) RECORDER(AnnotateBarrierDestroy)
RECORDER(AnnotateExpectRace) RECORDER(AnnotateBenignRace)
RECORDER(AnnotateBenignRaceSized) RECORDER(AnnotateTraceMemory)
RECORDER(AnnotateThreadName) RECORDER(AnnotateIgnoreReadsBegin)
RECORDER(AnnotateIgnoreReadsEnd) RECORDER(AnnotateIgnoreWritesBegin)
RECORDER(AnnotateIgnoreWritesEnd) RECORDER(AnnotateEnableRaceDetection)
RECORDER(AnnotateNoOp) RECORDER(AnnotateMemoryIsInitialized)
RECORDER(AnnotateMemoryIsUninitialized)
#undef RECORDER

struct Use {
  const char* entry;
  int line;
  void (*call)();
};
// One use per line, so that the use and its expected line share it.
#define USE(entry, annotation) Use{#entry, __LINE__, [] { annotation; }}

TEST(AnnotationsTest, MacrosPassTheirOwnSite) {
  const Use uses[] = {
      USE(AnnotateRWLockCreate, ANNOTATE_RWLOCK_CREATE(&g_object)),
      USE(AnnotateRWLockDestroy, ANNOTATE_RWLOCK_DESTROY(&g_object)),
      USE(AnnotateRWLockAcquired, ANNOTATE_RWLOCK_ACQUIRED(&g_object, 1)),
      USE(AnnotateRWLockReleased, ANNOTATE_RWLOCK_RELEASED(&g_object, 1)),
      USE(AnnotateBarrierInit, ANNOTATE_BARRIER_INIT(&g_object, 2, 0)),
      USE(AnnotateBarrierWaitBefore, ANNOTATE_BARRIER_WAIT_BEFORE(&g_object)),
      USE(AnnotateBarrierWaitAfter, ANNOTATE_BARRIER_WAIT_AFTER(&g_object)),
      USE(AnnotateBarrierDestroy, ANNOTATE_BARRIER_DESTROY(&g_object)),
      USE(AnnotateExpectRace, ANNOTATE_EXPECT_RACE(&g_object, "why")),
      USE(AnnotateBenignRace, ANNOTATE_BENIGN_RACE(&g_object, "why")),
      USE(AnnotateBenignRaceSized, ANNOTATE_BENIGN_RACE_SIZED(&g_object, 4, "why")),
      USE(AnnotateTraceMemory, ANNOTATE_TRACE_MEMORY(&g_object)),
      USE(AnnotateThreadName, ANNOTATE_THREAD_NAME("name")),
      USE(AnnotateIgnoreReadsBegin, ANNOTATE_IGNORE_READS_BEGIN()),
      USE(AnnotateIgnoreReadsEnd, ANNOTATE_IGNORE_READS_END()),
      USE(AnnotateIgnoreWritesBegin, ANNOTATE_IGNORE_WRITES_BEGIN()),
      USE(AnnotateIgnoreWritesEnd, ANNOTATE_IGNORE_WRITES_END()),
      USE(AnnotateEnableRaceDetection, ANNOTATE_ENABLE_RACE_DETECTION(1)),
      USE(AnnotateNoOp, ANNOTATE_NO_OP(&g_object)),
      USE(AnnotateMemoryIsInitialized, ANNOTATE_MEMORY_IS_INITIALIZED(&g_object, 4)),
      USE(AnnotateMemoryIsUninitialized, ANNOTATE_MEMORY_IS_UNINITIALIZED(&g_object, 4)),
  };
  for (const Use& use : uses) {
    g_seen = {};
    use.call();
    EXPECT_STREQ(g_seen.entry, use.entry);
    EXPECT_STREQ(g_seen.file, __FILE__) << use.entry;
    EXPECT_EQ(g_seen.line, use.line) << use.entry;
  }
}
#undef USE

}  // namespace macro_sites

TEST(AnnotationsTest, CallableFromManyThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::vector<Canary> canaries(4);
  for (auto& c : canaries) {
    threads.emplace_back([&c] {
      for (int i = 0; i < 10000; ++i) CallEveryEntryPoint(__FILE__, i, c.middle());
    });
  }
  for (auto& t : threads) t.join();
  for (auto& c : canaries) EXPECT_TRUE(c.untouched());
}

}  // namespace
