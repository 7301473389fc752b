# The library's native test programs (GoogleTest), on x86-64. The aarch64
# part runs those that mean something there, under emulation: aarch64.cmake.
set(_native "${CMAKE_CURRENT_LIST_DIR}")

add_executable(annotations_test "${_native}/annotations_test.cc")
target_include_directories(annotations_test PRIVATE "${PROJECT_SOURCE_DIR}")
target_link_libraries(annotations_test PRIVATE varnok_warnings varnok_jni_by_name
                      GTest::gtest GTest::gtest_main Threads::Threads)
gtest_discover_tests(annotations_test DISCOVERY_MODE PRE_TEST)

include("${_native}/clock.cmake")
# Rate discovery and the sleep under injected faults, with the kernel's
# files served from memory.
varnok_interposing_test(faults_test "${_native}/faults_test.cc")
target_link_libraries(faults_test PRIVATE varnok_fake_system_files varnok_scripted_host)
# The discovered rate checked against a scripted kernel clock.
varnok_interposing_test(rate_check_test "${_native}/rate_check_test.cc")
target_link_libraries(rate_check_test PRIVATE varnok_fake_system_files varnok_scripted_host)
# The real clock read by several threads across real cycle epochs (a few
# seconds: two epochs at most).
varnok_interposing_test(real_clock_stress_test "${_native}/real_clock_stress_test.cc")
# Under the thread sanitizer: the library's race declarations reach it.
if(VARNOK_SANITIZE MATCHES "thread")
  varnok_interposing_test(tsan_declarations_test "${_native}/tsan_declarations_test.cc")
endif()
include("${_native}/rate_discovery.cmake")
