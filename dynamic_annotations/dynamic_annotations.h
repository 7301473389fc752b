// Dynamic annotations: calls through which a program tells race detectors and
// Valgrind facts about its threads and memory that they cannot see.
//
// Every entry point takes the annotation's source file and line first. Use
// the ANNOTATE_* macros, which pass __FILE__ and __LINE__ for you. Outside a
// tool every entry point costs a call and a return and does nothing; a race
// detector takes them over by defining the same symbols, and memcheck sees
// the two memory annotations through its client requests.

#ifndef DYNAMIC_ANNOTATIONS_DYNAMIC_ANNOTATIONS_H_
#define DYNAMIC_ANNOTATIONS_DYNAMIC_ANNOTATIONS_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void AnnotateRWLockCreate(const char* file, int line,
                          const volatile void* lock);
void AnnotateRWLockDestroy(const char* file, int line,
                           const volatile void* lock);
void AnnotateRWLockAcquired(const char* file, int line,
                            const volatile void* lock, int64_t is_w);
void AnnotateRWLockReleased(const char* file, int line,
                            const volatile void* lock, int64_t is_w);
void AnnotateBarrierInit(const char* file, int line,
                         const volatile void* barrier, int64_t count,
                         int64_t reinitialization_allowed);
void AnnotateBarrierWaitBefore(const char* file, int line,
                               const volatile void* barrier);
void AnnotateBarrierWaitAfter(const char* file, int line,
                              const volatile void* barrier);
void AnnotateBarrierDestroy(const char* file, int line,
                            const volatile void* barrier);
void AnnotateExpectRace(const char* file, int line,
                        const volatile void* address, const char* description);
void AnnotateBenignRace(const char* file, int line,
                        const volatile void* address, const char* description);
void AnnotateBenignRaceSized(const char* file, int line,
                             const volatile void* address, size_t size,
                             const char* description);
void AnnotateTraceMemory(const char* file, int line,
                         const volatile void* address);
void AnnotateThreadName(const char* file, int line, const char* name);
void AnnotateIgnoreReadsBegin(const char* file, int line);
void AnnotateIgnoreReadsEnd(const char* file, int line);
void AnnotateIgnoreWritesBegin(const char* file, int line);
void AnnotateIgnoreWritesEnd(const char* file, int line);
void AnnotateEnableRaceDetection(const char* file, int line, int enable);
void AnnotateNoOp(const char* file, int line, const volatile void* arg);
void AnnotateMemoryIsInitialized(const char* file, int line,
                                 const volatile void* address, size_t size);
void AnnotateMemoryIsUninitialized(const char* file, int line,
                                   const volatile void* address, size_t size);

// 1 when the process runs under Valgrind, or when the environment variable
// RUNNING_ON_VALGRIND is set to anything but "0"; else 0. Cached after the
// first call.
int RunningOnValgrind(void);

// How many times slower than normal the process is expected to run: 1.0
// outside Valgrind; under it, VALGRIND_SLOWDOWN as a number, or 50.0 when
// that is unset. Cached once computed (a value that reads as zero is read
// again at every call).
double ValgrindSlowdown(void);

#ifdef __cplusplus
}  // extern "C"
#endif

#define ANNOTATE_RWLOCK_CREATE(lock) \
  AnnotateRWLockCreate(__FILE__, __LINE__, lock)
#define ANNOTATE_RWLOCK_DESTROY(lock) \
  AnnotateRWLockDestroy(__FILE__, __LINE__, lock)
#define ANNOTATE_RWLOCK_ACQUIRED(lock, is_w) \
  AnnotateRWLockAcquired(__FILE__, __LINE__, lock, is_w)
#define ANNOTATE_RWLOCK_RELEASED(lock, is_w) \
  AnnotateRWLockReleased(__FILE__, __LINE__, lock, is_w)
#define ANNOTATE_BARRIER_INIT(barrier, count, reinitialization_allowed) \
  AnnotateBarrierInit(__FILE__, __LINE__, barrier, count,               \
                      reinitialization_allowed)
#define ANNOTATE_BARRIER_WAIT_BEFORE(barrier) \
  AnnotateBarrierWaitBefore(__FILE__, __LINE__, barrier)
#define ANNOTATE_BARRIER_WAIT_AFTER(barrier) \
  AnnotateBarrierWaitAfter(__FILE__, __LINE__, barrier)
#define ANNOTATE_BARRIER_DESTROY(barrier) \
  AnnotateBarrierDestroy(__FILE__, __LINE__, barrier)
#define ANNOTATE_EXPECT_RACE(address, description) \
  AnnotateExpectRace(__FILE__, __LINE__, address, description)
#define ANNOTATE_BENIGN_RACE(address, description) \
  AnnotateBenignRace(__FILE__, __LINE__, address, description)
// Keep the whole macro call on one line: __LINE__ is then the line of the
// annotation with every compiler.
#define ANNOTATE_BENIGN_RACE_SIZED(address, size, description) \
  AnnotateBenignRaceSized(__FILE__, __LINE__, address, size, description)
#define ANNOTATE_TRACE_MEMORY(address) \
  AnnotateTraceMemory(__FILE__, __LINE__, address)
#define ANNOTATE_THREAD_NAME(name) \
  AnnotateThreadName(__FILE__, __LINE__, name)
#define ANNOTATE_IGNORE_READS_BEGIN() \
  AnnotateIgnoreReadsBegin(__FILE__, __LINE__)
#define ANNOTATE_IGNORE_READS_END() AnnotateIgnoreReadsEnd(__FILE__, __LINE__)
#define ANNOTATE_IGNORE_WRITES_BEGIN() \
  AnnotateIgnoreWritesBegin(__FILE__, __LINE__)
#define ANNOTATE_IGNORE_WRITES_END() \
  AnnotateIgnoreWritesEnd(__FILE__, __LINE__)
#define ANNOTATE_ENABLE_RACE_DETECTION(enable) \
  AnnotateEnableRaceDetection(__FILE__, __LINE__, enable)
#define ANNOTATE_NO_OP(arg) AnnotateNoOp(__FILE__, __LINE__, arg)
#define ANNOTATE_MEMORY_IS_INITIALIZED(address, size) \
  AnnotateMemoryIsInitialized(__FILE__, __LINE__, address, size)
#define ANNOTATE_MEMORY_IS_UNINITIALIZED(address, size) \
  AnnotateMemoryIsUninitialized(__FILE__, __LINE__, address, size)

#endif  // DYNAMIC_ANNOTATIONS_DYNAMIC_ANNOTATIONS_H_
