# The aarch64 part of the build: libvarnok_jni.so for Linux on aarch64, from
# the same sources with the same flags, made by a second configuration of
# this tree with aarch64-linux-gnu.cmake as its toolchain. Its tests run
# under qemu's user-mode emulator as tests of this build, named aarch64.*.
#
# Everything it needs is optional: without Debian's cross toolchain the
# build makes the x86-64 library alone, and says so.

set(_varnok_aarch64_default AUTO)
if(VARNOK_SANITIZE)
  # A sanitizer build checks the x86-64 library's instrumentation only.
  set(_varnok_aarch64_default OFF)
endif()
varnok_part_option(AARCH64
  "Also build libvarnok_jni.so for aarch64 (Debian's cross toolchain)" ${_varnok_aarch64_default})
set(_varnok_aarch64_missing "")
if(VARNOK_BUILD_AARCH64)
  find_program(VARNOK_AARCH64_GXX aarch64-linux-gnu-g++
    DOC "Debian's aarch64 cross compiler, whose libraries every aarch64 build links")
  find_program(VARNOK_AARCH64_EMULATOR NAMES qemu-aarch64-static qemu-aarch64
    DOC "qemu's user-mode emulator, which runs the aarch64 tests")
  find_path(VARNOK_VALGRIND_INCLUDE_DIR valgrind/valgrind.h
    DOC "Where valgrind/valgrind.h is: its client requests serve every processor")
  if(NOT VARNOK_AARCH64_GXX)
    set(_varnok_aarch64_missing
        "no aarch64-linux-gnu-g++ (Debian package g++-aarch64-linux-gnu)")
  elseif(NOT VARNOK_VALGRIND_INCLUDE_DIR)
    set(_varnok_aarch64_missing "no valgrind/valgrind.h (Debian package valgrind)")
  endif()
endif()
set(_why "${_varnok_aarch64_missing}")
if(_why)
  string(APPEND _why "; the jar carries the x86-64 library only")
endif()
varnok_part(AARCH64 VARNOK_BUILD_AARCH64 "aarch64 library and tests" "${_why}")
set(VARNOK_AARCH64_BINARY_DIR "${CMAKE_CURRENT_BINARY_DIR}/aarch64")

if(NOT VARNOK_BUILD_AARCH64)
  set(VARNOK_AARCH64_LIBRARY "")
  if(VARNOK_BUILD_TESTS)
    if(NOT _why)
      set(_why "VARNOK_BUILD_AARCH64 is OFF")
    endif()
    add_test(NAME aarch64.build COMMAND "${CMAKE_COMMAND}" -E echo "skipped: ${_why}")
    set_tests_properties(aarch64.build PROPERTIES
      SKIP_REGULAR_EXPRESSION "^skipped: " LABELS aarch64)
  endif()
  return()
endif()

# The host compiler's kind builds both parts, so that each compiler sees the
# aarch64 code too; clang++ takes the cross toolchain's libraries.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  set(_varnok_aarch64_cxx "${CMAKE_CXX_COMPILER}")
else()
  set(_varnok_aarch64_cxx "${VARNOK_AARCH64_GXX}")
endif()

# Only the client-request headers, so that no other host header can be found.
set(_varnok_aarch64_include "${CMAKE_CURRENT_BINARY_DIR}/aarch64-include")
file(COPY "${VARNOK_VALGRIND_INCLUDE_DIR}/valgrind/valgrind.h"
          "${VARNOK_VALGRIND_INCLUDE_DIR}/valgrind/memcheck.h"
     DESTINATION "${_varnok_aarch64_include}/valgrind")

# The emulator finds aarch64's dynamic loader and C library in the cross
# toolchain's library folder. It is told through the environment, so that a
# test that executes itself again (through the kernel's binfmt_misc handler
# for aarch64 binaries) finds them too.
set(_varnok_aarch64_emulator "")
if(VARNOK_AARCH64_EMULATOR)
  execute_process(COMMAND "${VARNOK_AARCH64_GXX}" -print-file-name=libc.so.6
    OUTPUT_VARIABLE _varnok_aarch64_libc OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(REAL_PATH "${_varnok_aarch64_libc}" _varnok_aarch64_libc)
  cmake_path(GET _varnok_aarch64_libc PARENT_PATH _varnok_aarch64_root)
  cmake_path(GET _varnok_aarch64_root PARENT_PATH _varnok_aarch64_root)
  set(VARNOK_AARCH64_LIBRARY_ROOT "${_varnok_aarch64_root}" CACHE PATH
    "Folder whose lib/ holds aarch64's dynamic loader and C library")
  set(_varnok_aarch64_emulator "${CMAKE_COMMAND}" -E env
      "QEMU_LD_PREFIX=${VARNOK_AARCH64_LIBRARY_ROOT}" "${VARNOK_AARCH64_EMULATOR}")
  if(VARNOK_BUILD_TESTS)
    message(STATUS "aarch64 library: built with ${_varnok_aarch64_cxx}, "
                   "tested under ${VARNOK_AARCH64_EMULATOR}")
  else()
    message(STATUS "aarch64 library: built with ${_varnok_aarch64_cxx}")
  endif()
else()
  message(STATUS "aarch64 library: built with ${_varnok_aarch64_cxx}")
  if(VARNOK_BUILD_TESTS)
    message(STATUS "aarch64 tests under emulation skipped: no qemu-aarch64-static "
                   "(Debian package qemu-user-static)")
  endif()
endif()

include(ExternalProject)
set(VARNOK_AARCH64_LIBRARY "${VARNOK_AARCH64_BINARY_DIR}/libvarnok_jni.so")
ExternalProject_Add(varnok-aarch64
  SOURCE_DIR "${PROJECT_SOURCE_DIR}"
  BINARY_DIR "${VARNOK_AARCH64_BINARY_DIR}"
  CMAKE_ARGS
    "-DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/aarch64-linux-gnu.cmake"
    "-DCMAKE_CXX_COMPILER=${_varnok_aarch64_cxx}"
    "-DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}"
    "-DCMAKE_CXX_FLAGS=${CMAKE_CXX_FLAGS}"
    "-DVARNOK_BUILD_TESTS=${VARNOK_BUILD_TESTS}"
    # jni.h and jni_md.h are the same for every Linux processor.
    "-DVARNOK_JNI_INCLUDE_DIR=${VARNOK_JNI_INCLUDE_DIR}"
    "-DVARNOK_JNI_MD_INCLUDE_DIR=${VARNOK_JNI_MD_INCLUDE_DIR}"
    "-DVARNOK_AARCH64_INCLUDE_DIR=${_varnok_aarch64_include}"
  CMAKE_CACHE_ARGS
    "-DCMAKE_CROSSCOMPILING_EMULATOR:STRING=${_varnok_aarch64_emulator}"
  # Both parts build from this tree: let the aarch64 build's own rules
  # decide what is out of date.
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS "${VARNOK_AARCH64_LIBRARY}"
  INSTALL_COMMAND "")

# Its tests, as tests of this build.
if(VARNOK_BUILD_TESTS)
  set(_varnok_aarch64_tests "${CMAKE_CURRENT_BINARY_DIR}/aarch64-tests.cmake")
  file(WRITE "${_varnok_aarch64_tests}" "subdirs(\"${VARNOK_AARCH64_BINARY_DIR}\")\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_varnok_aarch64_tests}")
endif()
