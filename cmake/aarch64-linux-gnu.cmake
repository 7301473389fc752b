# Toolchain for the aarch64 part of the build (see aarch64.cmake): Linux on
# aarch64 with Debian's cross toolchain, g++-aarch64-linux-gnu, whose
# libraries and binutils clang++ uses too when it is the compiler.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
endif()
# Only a compiler that targets several processors (clang) reads this.
set(CMAKE_CXX_COMPILER_TARGET aarch64-linux-gnu)

# Headers that serve every processor, taken from the host: Valgrind's client
# requests. Only they are put on the path, never the host's /usr/include.
if(VARNOK_AARCH64_INCLUDE_DIR)
  set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES "${VARNOK_AARCH64_INCLUDE_DIR}")
endif()
