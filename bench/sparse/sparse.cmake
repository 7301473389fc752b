# The sparse-reader benchmark: each clock read one call at a time after a
# gap, natively (sparse_benchmark) and under JMH (SparseReads), on the
# kernel's clock as found and then, for root, with its frequency set as an
# NTP daemon leaves it. Included from bench/CMakeLists.txt; neither target
# is part of the default build.
#
#   bench-sparse      the native program, as found and then disciplined
#   bench-sparse-jmh  SparseReads on every JDK, as found and then
#                     disciplined, then the report

set(_sparse "${CMAKE_CURRENT_SOURCE_DIR}/sparse")
set(_varnok_sparse_parts
  "${_sparse}/clocks.cc" "${_sparse}/options.cc" "${_sparse}/sampling.cc"
  "${_sparse}/statistics.cc")
# The host's description is the accuracy tool's.
add_executable(sparse_benchmark "${_sparse}/main.cc" "${_sparse}/report.cc"
  "${PROJECT_SOURCE_DIR}/tools/accuracy/host.cc" ${_varnok_sparse_parts})
target_include_directories(sparse_benchmark PRIVATE "${PROJECT_SOURCE_DIR}")
# The library by name, so that every call goes through the PLT.
target_link_libraries(sparse_benchmark PRIVATE varnok_warnings varnok_jni_headers
  varnok_jni_by_name varnok-native-headers ${CMAKE_DL_LIBS})

set(VARNOK_SPARSE_PPM 10 CACHE STRING
  "Kernel frequency correction (ppm) of the disciplined bench-sparse runs")
set(VARNOK_SPARSE_EXTRA_ARGS "" CACHE STRING
  "More arguments for sparse_benchmark in bench-sparse, e.g. --samples 3000")
# Root only; the runner comes with the tools.
if(VARNOK_BUILD_TOOLS)
  set(_varnok_disciplined sh "${_sparse}/disciplined.sh"
    "$<TARGET_FILE:varnok_with_kernel_frequency>" ${VARNOK_SPARSE_PPM})
  set(_varnok_disciplined_depends varnok_with_kernel_frequency)
else()
  # Says so in place of the run, whose command it is handed and ignores.
  set(_varnok_disciplined sh -c "echo \"disciplined run skipped: $1\"" sh
    "VARNOK_BUILD_TOOLS is off, so there is no varnok_with_kernel_frequency")
  set(_varnok_disciplined_depends)
endif()

add_custom_target(bench-sparse
  COMMAND sparse_benchmark ${VARNOK_SPARSE_EXTRA_ARGS}
  COMMAND ${_varnok_disciplined} "$<TARGET_FILE:sparse_benchmark>" ${VARNOK_SPARSE_EXTRA_ARGS}
  DEPENDS sparse_benchmark ${_varnok_disciplined_depends}
  USES_TERMINAL
  COMMENT "Sparse reads, natively: the kernel's clock as found, then at ${VARNOK_SPARSE_PPM} ppm"
  VERBATIM)

# --- JMH ---------------------------------------------------------------------
# One thread, SparseReads' own forks and iterations; its JSON lands in
# sparse-results/ as jdk<M>-undisciplined.json and jdk<M>-disciplined.json.
if(VARNOK_BENCH_JMH)
  set(VARNOK_SPARSE_JMH_EXTRA_ARGS "" CACHE STRING
    "More JMH arguments for bench-sparse-jmh, e.g. -p gapUs=100,2000")
  set(_results "${CMAKE_CURRENT_BINARY_DIR}/sparse-results")
  set(_found COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_results}"
             COMMAND "${CMAKE_COMMAND}" -E make_directory "${_results}")
  set(_set)
  set(_jdks ${_varnok_jdks})
  while(_jdks)
    list(POP_FRONT _jdks _java _major)
    foreach(_state undisciplined disciplined)
      set(_run "${_results}/jdk${_major}-${_state}")
      set(_command "${_java}" ${_varnok_run_options}
        "-Dcom.vornix.common.unix.jmh.bindings=${_run}.bindings"
        org.openjdk.jmh.Main "\\.SparseReads\\." -t 1 -rf json -rff "${_run}.json"
        ${VARNOK_SPARSE_JMH_EXTRA_ARGS})
      if(_state STREQUAL "undisciplined")
        list(APPEND _found COMMAND ${_command})
      else()
        list(APPEND _set COMMAND ${_varnok_disciplined} ${_command})
      endif()
    endforeach()
  endwhile()
  if(Python3_Interpreter_FOUND)
    set(_report COMMAND "${Python3_EXECUTABLE}" "${_sparse}/sparse_report.py"
      --dir "${_results}" --ppm ${VARNOK_SPARSE_PPM})
  else()
    set(_report COMMAND "${CMAKE_COMMAND}" -E echo
      "python3 was not found, so no tables: the JSON is in ${_results}")
  endif()
  add_custom_target(bench-sparse-jmh ${_found} ${_set} ${_report}
    DEPENDS ${_varnok_run_depends} ${_varnok_disciplined_depends}
    USES_TERMINAL
    COMMENT "Sparse reads under JMH: the kernel's clock as found, then at ${VARNOK_SPARSE_PPM} ppm"
    VERBATIM)
endif()

# --- Tests -------------------------------------------------------------------
# The parts whose mistakes the output would not show, and a smoke run of a
# fraction of a second that reads the kernel's clock and changes nothing.
# Neither asserts a timing.
if(VARNOK_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
  add_executable(sparse_benchmark_test "${_sparse}/sparse_test.cc" ${_varnok_sparse_parts})
  target_include_directories(sparse_benchmark_test PRIVATE "${PROJECT_SOURCE_DIR}")
  target_link_libraries(sparse_benchmark_test PRIVATE varnok_warnings varnok_jni_headers
    varnok_jni_by_name varnok-native-headers GTest::gtest GTest::gtest_main)
  gtest_discover_tests(sparse_benchmark_test DISCOVERY_MODE PRE_TEST
    TEST_PREFIX bench. PROPERTIES LABELS bench)
  add_test(NAME bench.sparse_smoke
    COMMAND sparse_benchmark --gaps 0,100us --samples 20 --block 5)
  set_tests_properties(bench.sparse_smoke PROPERTIES
    LABELS bench TIMEOUT 60
    PASS_REGULAR_EXPRESSION "\\| one every 100 µs \\| [0-9]")
  # One Varnok case at one gap for a moment, and the report from it.
  if(VARNOK_BENCH_JMH)
    set(_python -)
    if(Python3_Interpreter_FOUND)
      set(_python "${Python3_EXECUTABLE}")
    endif()
    add_test(NAME bench.sparse_jmh_smoke
      COMMAND sh "${CMAKE_CURRENT_SOURCE_DIR}/java_smoke.sh" sparse
              "${CMAKE_CURRENT_BINARY_DIR}/smoke-sparse-jmh" "SparseReads\\.varnokEpoch$"
              "${_python}" "${_sparse}/sparse_report.py"
              "${Java_JAVA_EXECUTABLE}" ${_varnok_run_options})
    set_tests_properties(bench.sparse_jmh_smoke PROPERTIES LABELS bench TIMEOUT 120)
  endif()
endif()
