# Valgrind detection: through the environment here, under real Valgrind below.
varnok_interposing_test(valgrind_detection_test
  "${PROJECT_SOURCE_DIR}/tests/native/valgrind_detection_test.cc")

find_program(VARNOK_VALGRIND valgrind REQUIRED)

add_executable(valgrind_probe "${CMAKE_CURRENT_LIST_DIR}/valgrind_probe.cc")
target_include_directories(valgrind_probe PRIVATE "${PROJECT_SOURCE_DIR}")
target_compile_options(valgrind_probe PRIVATE -O0)
target_link_libraries(valgrind_probe PRIVATE varnok_warnings varnok_jni_by_name)

set(_expect "${CMAKE_CURRENT_LIST_DIR}/expect_memcheck.sh")
set(_uninit "Conditional jump or move depends on uninitialised value")
add_test(NAME valgrind.detects_valgrind
  COMMAND "${CMAKE_COMMAND}" -E env --unset=RUNNING_ON_VALGRIND --unset=VALGRIND_SLOWDOWN
          bash "${_expect}" clean "${_uninit}" $<TARGET_FILE:valgrind_probe> detect)
add_test(NAME valgrind.memory_is_uninitialized_is_reported
  COMMAND bash "${_expect}" reported "${_uninit}" $<TARGET_FILE:valgrind_probe> uninitialized)
add_test(NAME valgrind.memory_is_initialized_is_believed
  COMMAND bash "${_expect}" clean "${_uninit}" $<TARGET_FILE:valgrind_probe> initialized)

# The native test programs, whole, under memcheck: no error, no definite leak.
# The rate-discovery cases (RateDiscovery.*) are left out: each forks into a
# private mount namespace that hides /proc or the sysfs files from the child,
# and many sleep a second to measure the counter, so under memcheck they
# would only be slow; the rest of that program runs here.
set(_memcheck_filter_rate_discovery_test "--gtest_filter=-RateDiscovery.*")
# Valgrind detection's cases each run in a fresh process, started by exec:
# traced, so that memcheck checks the detection itself (and the answers it
# gives under Valgrind) rather than only the parent that waits for them.
set(_memcheck_options_valgrind_detection_test --trace-children=yes)
foreach(_program clock_test annotations_test valgrind_detection_test rate_discovery_test
                 faults_test rate_check_test)
  add_test(NAME memcheck.${_program}
    COMMAND "${VARNOK_VALGRIND}" --tool=memcheck --error-exitcode=99
            --leak-check=full --errors-for-leak-kinds=definite -q
            ${_memcheck_options_${_program}}
            $<TARGET_FILE:${_program}> ${_memcheck_filter_${_program}})
  set_tests_properties(memcheck.${_program} PROPERTIES LABELS memcheck)
endforeach()
set_tests_properties(valgrind.detects_valgrind valgrind.memory_is_uninitialized_is_reported
  valgrind.memory_is_initialized_is_believed PROPERTIES LABELS "valgrind;memcheck")
