// Runs under real Valgrind: does detection answer, and do the two memory
// annotations change what memcheck believes?
//   valgrind_probe detect          exit 0 if detection says Valgrind, 50x
//   valgrind_probe uninitialized   branches on memory annotated as undefined
//   valgrind_probe initialized     branches on malloc'ed memory annotated as
//                                  defined, though never written

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "dynamic_annotations/dynamic_annotations.h"

namespace {

// A branch on every byte, which memcheck checks for definedness.
int CountNonZero(const unsigned char* p, size_t n) {
  int count = 0;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) ++count;
  }
  return count;
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  const size_t kSize = 64;
  if (strcmp(mode, "detect") == 0) {
    const int running = RunningOnValgrind();
    const double slowdown = ValgrindSlowdown();
    printf("RunningOnValgrind()=%d ValgrindSlowdown()=%g\n", running, slowdown);
    return running == 1 && slowdown == 50.0 ? 0 : 1;
  }
  if (strcmp(mode, "uninitialized") == 0) {
    unsigned char* buf = static_cast<unsigned char*>(malloc(kSize));
    memset(buf, 1, kSize);
    AnnotateMemoryIsUninitialized(__FILE__, __LINE__, buf, kSize);
    printf("%d\n", CountNonZero(buf, kSize));
    free(buf);
    return 0;
  }
  if (strcmp(mode, "initialized") == 0) {
    // Never written on purpose; volatile keeps the compiler from saying so.
    unsigned char* volatile buf = static_cast<unsigned char*>(malloc(kSize));
    AnnotateMemoryIsInitialized(__FILE__, __LINE__, buf, kSize);
    printf("%d\n", CountNonZero(buf, kSize) >= 0);
    free(buf);
    return 0;
  }
  fprintf(stderr, "usage: %s detect|uninitialized|initialized\n", argv[0]);
  return 2;
}
