// The annotation entry points and Valgrind detection.
//
// Outside a race detector the entry points only have to exist: they are the
// symbols a detector takes over, so each stays an ordinary out-of-line
// function that accepts any argument (null pointers and any line included)
// and touches nothing. The two memory annotations are the exception: they
// pass their range to memcheck through its client requests, which cost a
// few instructions and do nothing when the process does not run under
// Valgrind.

#include "dynamic_annotations/dynamic_annotations.h"

#include <stdlib.h>
#include <string.h>
#include <valgrind/memcheck.h>
#include <valgrind/valgrind.h>

#include <atomic>

extern "C" {

// Reader-writer locks.

void AnnotateRWLockCreate(const char* /*file*/, int /*line*/,
                          const volatile void* /*lock*/) {}

void AnnotateRWLockDestroy(const char* /*file*/, int /*line*/,
                           const volatile void* /*lock*/) {}

void AnnotateRWLockAcquired(const char* /*file*/, int /*line*/,
                            const volatile void* /*lock*/, int64_t /*is_w*/) {
}

void AnnotateRWLockReleased(const char* /*file*/, int /*line*/,
                            const volatile void* /*lock*/, int64_t /*is_w*/) {
}

// Barriers.

void AnnotateBarrierInit(const char* /*file*/, int /*line*/,
                         const volatile void* /*barrier*/, int64_t /*count*/,
                         int64_t /*reinitialization_allowed*/) {}

void AnnotateBarrierWaitBefore(const char* /*file*/, int /*line*/,
                               const volatile void* /*barrier*/) {}

void AnnotateBarrierWaitAfter(const char* /*file*/, int /*line*/,
                              const volatile void* /*barrier*/) {}

void AnnotateBarrierDestroy(const char* /*file*/, int /*line*/,
                            const volatile void* /*barrier*/) {}

// Races, expected or harmless.

void AnnotateExpectRace(const char* /*file*/, int /*line*/,
                        const volatile void* /*address*/,
                        const char* /*description*/) {}

void AnnotateBenignRace(const char* /*file*/, int /*line*/,
                        const volatile void* /*address*/,
                        const char* /*description*/) {}

void AnnotateBenignRaceSized(const char* /*file*/, int /*line*/,
                             const volatile void* /*address*/,
                             size_t /*size*/, const char* /*description*/) {}

// Tracing and naming.

void AnnotateTraceMemory(const char* /*file*/, int /*line*/,
                         const volatile void* /*address*/) {}

void AnnotateThreadName(const char* /*file*/, int /*line*/,
                        const char* /*name*/) {}

// Regions that a detector should not watch.

void AnnotateIgnoreReadsBegin(const char* /*file*/, int /*line*/) {}

void AnnotateIgnoreReadsEnd(const char* /*file*/, int /*line*/) {}

void AnnotateIgnoreWritesBegin(const char* /*file*/, int /*line*/) {}

void AnnotateIgnoreWritesEnd(const char* /*file*/, int /*line*/) {}

void AnnotateEnableRaceDetection(const char* /*file*/, int /*line*/,
                                 int /*enable*/) {}

void AnnotateNoOp(const char* /*file*/, int /*line*/,
                  const volatile void* /*arg*/) {}

// Memory whose definedness memcheck cannot follow: memory filled by a
// device or another process, or reused memory that should count as fresh.

void AnnotateMemoryIsInitialized(const char* /*file*/, int /*line*/,
                                 const volatile void* address, size_t size) {
  (void)VALGRIND_MAKE_MEM_DEFINED(address, size);
}

void AnnotateMemoryIsUninitialized(const char* /*file*/, int /*line*/,
                                   const volatile void* address, size_t size) {
  (void)VALGRIND_MAKE_MEM_UNDEFINED(address, size);
}

}  // extern "C"

// --- Valgrind detection ----------------------------------------------------
//
// Programs ask this to scale their timeouts and to skip work that is too slow
// under Valgrind, for instance:
//
//   const double timeout_s = 5.0 * ValgrindSlowdown();
//   if (RunningOnValgrind()) return;  // an hour-long stress loop
//
// RunningOnValgrind() is 1 under Valgrind, or when the environment says so;
// else 0. ValgrindSlowdown() is how many times slower than normal the
// program runs: 1.0 outside Valgrind, the number in VALGRIND_SLOWDOWN or
// 50.0 under it.
//
// Both answers are computed once and cached for the life of the process;
// later changes of the environment are not seen. The one exception is a
// slowdown that reads as zero (VALGRIND_SLOWDOWN not a number, say): it is
// stored as such, which reads as not yet computed, so every later call reads
// the environment again.
//
// Race detectors and their suppression files match a report by file and
// line, so the two race declarations below keep their sites, lines 152 and
// 163 of this file: add code after them, not above. The tests check both.
//
// The caches are read and written without a lock, each in one access of its
// whole width: threads that race on the first call compute the same answer
// and store it twice, which is harmless, and is declared so to race
// detectors on every call.

// Uncached detection: Valgrind's own answer first, then the environment,
// which lets a parent that runs this program under another instrumenter (or
// a test) say so. Any value but exactly "0" means yes, an empty one too.
static int GetRunningOnValgrind(void) {
  // Outside Valgrind the client request yields its default, 0, in a few
  // instructions.
  if (RUNNING_ON_VALGRIND) return 1;
  const char* const running_on_valgrind_str = getenv("RUNNING_ON_VALGRIND");
  if (running_on_valgrind_str != NULL) {
    return strcmp(running_on_valgrind_str, "0") != 0;
  }
  return 0;
}

extern "C" int RunningOnValgrind(void) {
  static std::atomic<int> running_on_valgrind(-1);  // -1: not yet computed
  int local_running_on_valgrind =
      running_on_valgrind.load(std::memory_order_relaxed);
  ANNOTATE_BENIGN_RACE_SIZED(&running_on_valgrind, sizeof(running_on_valgrind), "safe hack");
  if (local_running_on_valgrind == -1) {
    local_running_on_valgrind = GetRunningOnValgrind();
    running_on_valgrind.store(local_running_on_valgrind, std::memory_order_relaxed);
  }
  return local_running_on_valgrind;
}

extern "C" double ValgrindSlowdown(void) {
  static std::atomic<double> slowdown(0.0);  // 0.0: not yet computed
  double local_slowdown = slowdown.load(std::memory_order_relaxed);
  ANNOTATE_BENIGN_RACE_SIZED(&slowdown, sizeof(slowdown), "safe hack");
  if (RunningOnValgrind() == 0) return 1.0;
  if (local_slowdown == 0.0) {
    const char* const env_value = getenv("VALGRIND_SLOWDOWN");
    local_slowdown = env_value != NULL ? atof(env_value) : 50.0;
    slowdown.store(local_slowdown, std::memory_order_relaxed);
  }
  return local_slowdown;
}
