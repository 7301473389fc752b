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
