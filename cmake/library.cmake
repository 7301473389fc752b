# The native library, libvarnok_jni.so, and its version script.
include(GNUInstallDirs)

# How the library takes in the C++ runtime. The tests link a program the same
# way to check that the runtime's static initialisation still works with it.
set(VARNOK_RUNTIME_SOURCES
  "${PROJECT_SOURCE_DIR}/java/com/vornix/common/unix/runtime_shims.cc")
set(VARNOK_RUNTIME_LINK_OPTIONS
  # A JVM host may have no C++ runtime, or an older one than ours: take the
  # little we need (the thread-safe static initialisation) into the library
  # and keep all of it out of the export list.
  -static-libstdc++ -static-libgcc -Wl,--exclude-libs,ALL
  # The static initialisation's recursion check throws, and a throw drags in
  # the unwinder, which needs glibc 2.34 and 2.35 and the dynamic loader
  # itself. Any throw ends the process in runtime_shims.cc instead, as an
  # uncaught one would; see there.
  -Wl,--wrap=__cxa_allocate_exception -Wl,--wrap=__cxa_throw
  # The runtime asks glibc (2.32 and later) whether the process has only one
  # thread, to skip atomics; a JVM never has, and always taking the atomic
  # path is correct everywhere.
  -Wl,--wrap=__libc_single_threaded)

add_library(varnok_jni SHARED
  dynamic_annotations/dynamic_annotations.cc
  java/com/vornix/common/unix/base/sysinfo.cc
  java/com/vornix/common/unix/base/time_support.cc
  java/com/vornix/common/unix/base/walltime.cc
  java/com/vornix/common/unix/varnok_jni.cc
  java/com/vornix/common/unix/kernel_clock.cc
  java/com/vornix/common/unix/remeasurer.cc
  ${VARNOK_RUNTIME_SOURCES})
# The headers native users compile against, installed under the same paths
# they have here, so that the library's own include lines work for them too.
target_sources(varnok_jni PUBLIC
  FILE_SET HEADERS
  BASE_DIRS "${PROJECT_SOURCE_DIR}"
  FILES
    dynamic_annotations/dynamic_annotations.h
    java/com/vornix/common/unix/base/cycleclock.h
    java/com/vornix/common/unix/base/sysinfo.h
    java/com/vornix/common/unix/base/time_support.h
    java/com/vornix/common/unix/base/walltime.h)
set_target_properties(varnok_jni PROPERTIES
  NO_SONAME ON
  LINK_DEPENDS "${PROJECT_SOURCE_DIR}/libvarnok_jni.map")
target_include_directories(varnok_jni PRIVATE "${PROJECT_SOURCE_DIR}")
target_link_libraries(varnok_jni PRIVATE
  varnok_warnings varnok_jni_headers varnok-native-headers)
target_compile_options(varnok_jni PRIVATE
  # Every call of an exported function, the library's own included, must go
  # through the dynamic symbol table so that an earlier definition in the
  # process receives it. GCC keeps that by default; clang must be told.
  -fsemantic-interposition
  # The clock's arithmetic is rounded step by step; a fused multiply-add
  # would change results on machines built with FMA.
  -ffp-contract=off
  # Annotations name their file from the source root, wherever the build is.
  "-fmacro-prefix-map=${PROJECT_SOURCE_DIR}/="
  -fno-exceptions -fno-rtti)
target_link_options(varnok_jni PRIVATE
  # The interface is what the map names and nothing more, so that nothing we
  # link in can take the place of a symbol of the JVM or of another library.
  "-Wl,--version-script=${PROJECT_SOURCE_DIR}/libvarnok_jni.map"
  ${VARNOK_RUNTIME_LINK_OPTIONS}
  # The library names only the libraries it uses: a JVM loads nothing for us.
  -Wl,--as-needed
  # Bind every PLT slot at load. Calls still go through the dynamic symbol
  # table, but the first gettimeofday of calibration no longer pays for lazy
  # symbol resolution between its counter read and its clock read, which
  # would put the base reading microseconds late for the whole first epoch.
  # With everything bound at load, RELRO can then make the whole GOT
  # read-only, so a stray write cannot redirect the library's calls.
  -Wl,-z,now -Wl,-z,relro
  # The library runs no code from its stack; a JVM that loads a library
  # asking for an executable stack makes every thread's stack executable.
  -Wl,-z,noexecstack)

# Everything the library uses must resolve now, against the libraries it
# names, so a JVM never meets an unresolved symbol at load. A sanitizer
# build leaves its runtime's symbols to the program that hosts it.
if(NOT VARNOK_SANITIZE)
  target_link_options(varnok_jni PRIVATE -Wl,-z,defs)
endif()
# The fuzzer steers by the coverage of the library's own code.
if(VARNOK_BUILD_FUZZERS)
  target_compile_options(varnok_jni PRIVATE -fsanitize=fuzzer-no-link)
endif()

# Native programs link the library by name: with no SONAME, linking it by
# path would record that path in the program instead of the library's name.
add_library(varnok_jni_by_name INTERFACE)
target_link_libraries(varnok_jni_by_name INTERFACE
  "-L$<TARGET_FILE_DIR:varnok_jni>" -lvarnok_jni)
target_link_options(varnok_jni_by_name INTERFACE
  "-Wl,-rpath,$<TARGET_FILE_DIR:varnok_jni>")
add_dependencies(varnok_jni_by_name varnok_jni)
