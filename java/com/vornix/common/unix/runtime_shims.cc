// Stand-ins for the parts of the C++ runtime that the library links in but
// must not carry along. The linker sends the runtime's references to these
// names here (-Wl,--wrap=NAME turns a reference to NAME into one to
// __wrap_NAME); the version script keeps them out of the export list.
//
// The library takes only the thread-safe static initialisation from the
// static C++ runtime. That code throws in one place: when the process has a
// single thread, an initialisation found in progress can only be a recursive
// one, and it throws for it (with threads it waits, as it must). The throw
// would bring in the whole unwinder, which asks for a newer glibc than the
// rest of the library (_dl_find_object, the pthread symbols that moved into
// libc, thread-local storage from the dynamic loader), for code that cannot
// usefully run: the library is built without exceptions, and an exception
// leaving a JNI method would bring the JVM down. So any throw ends the
// process here, the way an uncaught one would, without the unwinder: a
// short message and abort().

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <typeinfo>

namespace {

[[noreturn]] void ThrowInsideLibrary() {
  static const char kMessage[] =
      "libvarnok_jni: a C++ exception was thrown inside the library, which "
      "cannot carry one; aborting\n";
  // write(2), not stdio: nothing here may need a lock or allocate.
  ssize_t ignored = write(2, kMessage, sizeof(kMessage) - 1);
  (void)ignored;
  abort();
}

}  // namespace

extern "C" {

// Both halves of a throw expression end the process, so that neither the
// exception allocator (and its emergency pool) nor the thrower is linked.
void* __wrap___cxa_allocate_exception(std::size_t) { ThrowInsideLibrary(); }

[[noreturn]] void __wrap___cxa_throw(void*, std::type_info*,
                                     void (*)(void*)) {
  ThrowInsideLibrary();
}

// Whether the process has only ever had one thread. The runtime may skip its
// atomic operations when it is told so; answering "no" always keeps it on
// the path that is correct with any number of threads, which a JVM has
// anyway, and needs no symbol from glibc 2.32 or later.
char __wrap___libc_single_threaded = 0;

}  // extern "C"
