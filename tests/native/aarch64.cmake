# The tests of the aarch64 part (cmake/aarch64.cmake): the library's ELF
# contract, and the unit tests that mean something on aarch64, run under
# qemu's user-mode emulator. The x86-64 build runs them as its own tests,
# named aarch64.* and labelled aarch64.
#
# Under the emulator the counter follows the host's clock in steps of about a
# microsecond and always states 62.5 MHz, so these tests show that the right
# registers are read and that the clock is right, never how fast it is.
#
# Not run here:
# - faults_test, rate_check_test and the RateDiscovery cases: what they test
#   is the reading and checking of the kernel's rate files, which discovery
#   on aarch64 never opens (generic_timer_test shows that it does not);
# - real_clock_stress_test: it must cross real cycle epochs, 2^32 ticks, and
#   the emulator's counter takes 68.7 s for one (clock_test crosses hundreds
#   of scripted ones);
# - Valgrind and memcheck, which cannot run an emulated process; the
#   installed package, which is the x86-64 build's; the sanitizers.
set(VARNOK_TEST_PREFIX aarch64.)
set_property(DIRECTORY PROPERTY LABELS aarch64)

add_test(NAME aarch64.elf_contract
  COMMAND bash "${PROJECT_SOURCE_DIR}/tests/elf/check_elf_contract.sh"
          "$<TARGET_FILE:varnok_jni>"
          "${PROJECT_SOURCE_DIR}/tests/elf/expected_dynamic_symbols.txt")
add_test(NAME aarch64.glibc_ceiling
  COMMAND bash "${PROJECT_SOURCE_DIR}/tests/elf/check_glibc_ceiling.sh"
          "$<TARGET_FILE:varnok_jni>" "${PROJECT_SOURCE_DIR}/tests/elf/glibc_ceiling.txt")

# A test that only says why the emulated tests are not there.
function(varnok_aarch64_skip why)
  add_test(NAME aarch64.emulated_tests COMMAND "${CMAKE_COMMAND}" -E echo "skipped: ${why}")
  set_tests_properties(aarch64.emulated_tests PROPERTIES SKIP_REGULAR_EXPRESSION "^skipped: ")
endfunction()

find_path(VARNOK_GTEST_SOURCE_DIR googletest/CMakeLists.txt
  PATHS /usr/src/googletest NO_DEFAULT_PATH
  DOC "GoogleTest's sources, built here for aarch64")
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  varnok_aarch64_skip("no qemu-aarch64-static (Debian package qemu-user-static)")
  return()
elseif(NOT VARNOK_GTEST_SOURCE_DIR)
  varnok_aarch64_skip("no GoogleTest sources in /usr/src/googletest (Debian package googletest)")
  return()
endif()

# GoogleTest for aarch64, from Debian's sources.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory("${VARNOK_GTEST_SOURCE_DIR}" googletest EXCLUDE_FROM_ALL)
find_package(Threads REQUIRED)
include(GoogleTest)

varnok_interposing_test(annotations_test "${CMAKE_CURRENT_LIST_DIR}/annotations_test.cc")
include("${CMAKE_CURRENT_LIST_DIR}/clock.cmake")
varnok_interposing_test(valgrind_detection_test "${CMAKE_CURRENT_LIST_DIR}/valgrind_detection_test.cc")
# The sleep, the wall clock and the drift cell; not the rate files.
varnok_interposing_test(rate_discovery_test "${CMAKE_CURRENT_LIST_DIR}/rate_discovery_test.cc"
                        FILTER "-RateDiscovery.*")
target_link_libraries(rate_discovery_test PRIVATE varnok_scripted_host)
varnok_interposing_test(generic_timer_test "${CMAKE_CURRENT_LIST_DIR}/generic_timer_test.cc")
target_link_libraries(generic_timer_test PRIVATE
                      varnok_fake_system_files varnok_scripted_host)

# The C++ runtime's static initialisation as the library links it, whose
# guard takes other atomics on aarch64.
include("${CMAKE_CURRENT_LIST_DIR}/static_init.cmake")
