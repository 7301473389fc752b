// Reads the counter twice and asks whether it runs under Valgrind, through
// the installed headers and library; prints which file it loaded.

#include <dlfcn.h>
#include <stdio.h>

#include "dynamic_annotations/dynamic_annotations.h"
#include "java/com/vornix/common/unix/base/cycleclock.h"

using java_com_vornix_common_unix_base::CycleClock;
using java_com_vornix_common_unix_base::int64;

int main() {
  int failures = 0;

  const int64 first = CycleClock::Now();
  int64 second = CycleClock::Now();
  // The counter ticks at a GHz rate; a bounded wait only keeps a broken
  // counter from hanging the test.
  for (int i = 0; i < 1000000 && second == first; ++i) {
    second = CycleClock::Now();
  }
  if (second <= first) {
    fprintf(stderr, "FAIL: CycleClock::Now did not advance: %lld then %lld\n",
            static_cast<long long>(first), static_cast<long long>(second));
    ++failures;
  }

  const int on_valgrind = RunningOnValgrind();
  if (on_valgrind != 0) {
    fprintf(stderr, "FAIL: RunningOnValgrind() is %d outside Valgrind\n",
            on_valgrind);
    ++failures;
  }

  // The definition the dynamic linker bound the program's calls to.
  Dl_info info;
  void* symbol = dlsym(RTLD_DEFAULT, "RunningOnValgrind");
  if (symbol == nullptr || dladdr(symbol, &info) == 0 ||
      info.dli_fname == nullptr) {
    fprintf(stderr, "FAIL: cannot find the library of RunningOnValgrind\n");
    ++failures;
  } else {
    printf("library: %s\n", info.dli_fname);
  }

  printf("consumer: %s\n", failures ? "FAILED" : "ok");
  return failures ? 1 : 0;
}
