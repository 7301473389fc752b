# What the optional parts need.
# Looked for here, so that each part is either built or named as skipped, with
# the Debian package that brings what it lacks, before anything depends on it.
# The aarch64 part and the JDK 22 binding decide in their own files; the aarch64
# part's own configuration takes its tests' setting from this one.
if(NOT CMAKE_CROSSCOMPILING)
  set(_varnok_missing "")
  if(VARNOK_BUILD_TESTS)
    find_package(GTest QUIET)
    if(NOT GTest_FOUND)
      list(APPEND _varnok_missing "no GoogleTest (Debian package libgtest-dev)")
    endif()
    find_program(VARNOK_VALGRIND valgrind)
    if(NOT VARNOK_VALGRIND)
      list(APPEND _varnok_missing "no valgrind to run them under (Debian package valgrind)")
    endif()
  endif()
  list(JOIN _varnok_missing "; " _varnok_missing)
  varnok_part(TESTS VARNOK_BUILD_TESTS "Tests" "${_varnok_missing}")

  set(_varnok_missing "")
  if(VARNOK_BUILD_BENCHMARKS)
    find_package(benchmark QUIET)
    if(NOT benchmark_FOUND)
      set(_varnok_missing "no Google Benchmark (Debian package libbenchmark-dev)")
    endif()
  endif()
  varnok_part(BENCHMARKS VARNOK_BENCH_NATIVE "Native benchmark (clock_benchmark, bench-native)"
              "${_varnok_missing}")

  # The adapters and JMH take their libraries from Maven Central.
  include(cmake/java_dependencies.cmake)
  set(_varnok_missing "")
  if(VARNOK_BUILD_ADAPTERS OR VARNOK_BUILD_BENCHMARKS)
    varnok_resolve_java_dependencies(_varnok_missing)
  endif()
  varnok_part(BENCHMARKS VARNOK_BENCH_JMH "JMH benchmarks (bench-jmh, bench-java)"
              "${_varnok_missing}")
  list(JOIN VARNOK_ADAPTER_FRAMEWORKS ", " _varnok_frameworks)
  varnok_part(ADAPTERS VARNOK_BUILD_ADAPTERS "Adapters (${_varnok_frameworks})"
              "${_varnok_missing}")
  if(VARNOK_BENCH_NATIVE OR VARNOK_BENCH_JMH)
    set(VARNOK_BUILD_BENCHMARKS ON)
  else()
    set(VARNOK_BUILD_BENCHMARKS OFF)
  endif()

  # The figures' plots: the accuracy target's and the JMH report's.
  if(VARNOK_BUILD_TOOLS OR VARNOK_BENCH_JMH)
    find_program(VARNOK_GNUPLOT gnuplot)
    if(NOT VARNOK_GNUPLOT)
      message(STATUS "Plots skipped: no gnuplot (Debian package gnuplot-nox); the accuracy "
                     "and JMH targets write their figures without drawing them")
    endif()
  endif()
endif()
