# Build settings every C++ target of the project shares: the standard, the
# build type, the sanitizers, and the warnings (varnok_warnings).
if(NOT CMAKE_BUILD_TYPE AND NOT CMAKE_CONFIGURATION_TYPES)
  set(CMAKE_BUILD_TYPE RelWithDebInfo CACHE STRING "Build type" FORCE)
endif()
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
set(CMAKE_CXX_EXTENSIONS OFF)
# Valgrind 3.19 cannot read the DWARF 5 forms that clang 14 emits by default,
# and the test suite runs under memcheck.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-gdwarf-4)
endif()

# --- Sanitizer builds -------------------------------------------------------
# Every report is fatal, so a green run means none was made. The library is
# instrumented like the tests; what cannot host an instrumented library (a
# JVM, Valgrind, the checks of the release binary's ELF contract) is left
# out of such a build by the test lists.
if(VARNOK_SANITIZE)
  add_compile_options(-fsanitize=${VARNOK_SANITIZE} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${VARNOK_SANITIZE})
endif()
if(VARNOK_BUILD_FUZZERS AND NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "VARNOK_BUILD_FUZZERS needs clang++ (libFuzzer)")
endif()

# --- The warnings ----------------------------------------------------------
# Said once here and linked by every C++ target of the project.
add_library(varnok_warnings INTERFACE)
target_compile_options(varnok_warnings INTERFACE -Wall -Wextra)
