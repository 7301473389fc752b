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

TEST(AnnotationsTest, MacrosPassTheirOwnSite) {
  // The macros are what library code uses; they must expand to a call that
  // compiles with the site filled in, from C++ as from C.
  int x = 0;
  ANNOTATE_BENIGN_RACE_SIZED(&x, sizeof(x), "test");
  ANNOTATE_MEMORY_IS_INITIALIZED(&x, sizeof(x));
  ANNOTATE_IGNORE_READS_BEGIN();
  ANNOTATE_IGNORE_READS_END();
  EXPECT_EQ(x, 0);
}

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
