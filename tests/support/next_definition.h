// The definition that a test program's own one stands in front of.
//
// A test program that defines a function of the library or of libc
// receives the library's calls of it; to pass a call through, it looks up
// the next definition in the process's lookup order. There always is one,
// so a missing one means the program was linked wrongly: stop at once.

#ifndef VARNOK_TESTS_NEXT_DEFINITION_H_
#define VARNOK_TESTS_NEXT_DEFINITION_H_

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

template <typename F>
F NextDefinition(const char* name) {
  void* const sym = dlsym(RTLD_NEXT, name);
  if (sym == nullptr) {
    fprintf(stderr, "no next definition of %s\n", name);
    abort();
  }
  return reinterpret_cast<F>(sym);
}

#endif  // VARNOK_TESTS_NEXT_DEFINITION_H_
