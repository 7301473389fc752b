# The clock on real-world hosts: under a sandbox's seccomp filter, and while
# a real daemon or the kernel's PLL disciplines the clock.

# seccomp_run COMMAND...: runs COMMAND under a filter that kills the process
# at adjtimex and clock_adjtime.
add_executable(seccomp_run ${CMAKE_CURRENT_LIST_DIR}/seccomp_run.cc)
target_link_libraries(seccomp_run PRIVATE varnok_warnings)

# C++: the filter kills at either call, and init and both clocks live under
# it across real cycle epochs.
add_executable(seccomp_clock_test ${CMAKE_CURRENT_LIST_DIR}/seccomp_clock_test.cc)
target_include_directories(seccomp_clock_test PRIVATE "${PROJECT_SOURCE_DIR}")
target_link_libraries(seccomp_clock_test PRIVATE varnok_warnings varnok_jni_headers
                      varnok_jni_by_name varnok-native-headers GTest::gtest)
target_compile_definitions(seccomp_clock_test PRIVATE
  VARNOK_SECCOMP_RUN="$<TARGET_FILE:seccomp_run>")
add_dependencies(seccomp_clock_test seccomp_run)
add_test(NAME seccomp.native COMMAND seccomp_clock_test)
set(_varnok_seccomp_tests seccomp.native)

# A JVM under the filter, on the building JDK and the newer one: java -jar on
# the demo, which loads the library from the jar, calls init and both clocks.
if(TARGET varnok-demo)
  get_target_property(_varnok_demo_jar varnok-demo JAR_FILE)
  add_test(NAME seccomp.build_jdk.demo_jar
    COMMAND seccomp_run "${Java_JAVA_EXECUTABLE}" -jar "${_varnok_demo_jar}" 10000)
  if(VARNOK_NEWER_JDK)
    add_test(NAME seccomp.newer_jdk.demo_jar
      COMMAND seccomp_run "${VARNOK_NEWER_JDK}/bin/java" -jar "${_varnok_demo_jar}" 10000)
  else()
    add_test(NAME seccomp.newer_jdk.demo_jar
      COMMAND sh -c "echo \"skipped: $1\"; exit 77" sh "${VARNOK_NEWER_JDK_MISSING}")
  endif()
  list(APPEND _varnok_seccomp_tests seccomp.build_jdk.demo_jar seccomp.newer_jdk.demo_jar)
endif()
set_tests_properties(${_varnok_seccomp_tests} PROPERTIES
  LABELS seccomp TIMEOUT 120 SKIP_RETURN_CODE 77)

# The epoch clock's error against CLOCK_REALTIME while chronyd, or the
# kernel's PLL, slews the clock, and with neither (see discipline_accuracy.cc).
# Root only: each test sets the kernel's discipline and puts it back, so they
# run alone, and take the time given here.
set(VARNOK_DISCIPLINE_RUNS "chronyd=60;chronyd_fast=20;kernel_pll=40;none=10" CACHE STRING
  "The real-daemon accuracy tests: SCENARIO=SECONDS for chronyd, chronyd_fast, kernel_pll and none")
# Debian's chronyd, unpacked by tools/install-test-deps.sh into a folder of
# its own (installing chrony would remove the host's time daemon), or an
# installed one.
if(EXISTS /opt/varnok-chrony/usr/sbin/chronyd)
  set(_varnok_chronyd /opt/varnok-chrony/usr/sbin/chronyd)
else()
  set(_varnok_chronyd /usr/sbin/chronyd)
endif()
set(VARNOK_CHRONYD "${_varnok_chronyd}" CACHE FILEPATH
  "The chronyd that discipline.chronyd starts")
add_executable(discipline_accuracy
  ${CMAKE_CURRENT_LIST_DIR}/discipline_accuracy.cc
  ${CMAKE_CURRENT_LIST_DIR}/discipline_kernel.cc
  ${CMAKE_CURRENT_LIST_DIR}/discipline_measure.cc
  ${CMAKE_CURRENT_LIST_DIR}/discipline_process.cc
  ${CMAKE_CURRENT_LIST_DIR}/discipline_reference.cc)
target_link_libraries(discipline_accuracy PRIVATE varnok_warnings Threads::Threads ${CMAKE_DL_LIBS})
add_dependencies(discipline_accuracy varnok_jni)
foreach(_run IN LISTS VARNOK_DISCIPLINE_RUNS)
  if(NOT _run MATCHES "^([a-z_]+)=([0-9]+)$")
    message(FATAL_ERROR "VARNOK_DISCIPLINE_RUNS: ${_run} is not SCENARIO=SECONDS")
  endif()
  # chronyd may take up to a minute to start slewing.
  math(EXPR _timeout "${CMAKE_MATCH_2} + 120")
  add_test(NAME discipline.${CMAKE_MATCH_1}
    COMMAND discipline_accuracy "$<TARGET_FILE:varnok_jni>" ${_run} --chronyd "${VARNOK_CHRONYD}")
  set_tests_properties(discipline.${CMAKE_MATCH_1} PROPERTIES
    LABELS discipline RUN_SERIAL TRUE SKIP_RETURN_CODE 77 TIMEOUT ${_timeout})
endforeach()
