# The clock test in an arm64 JVM under qemu's user-mode emulator: the loader
# picks the jar's aarch64 library by os.arch, extracts and loads it, and init
# calibrates both clocks on the emulated counter. The JVM is Debian's arm64
# JRE, unpacked into a folder with the C library it needs
# (tools/install-test-deps.sh fetches it); the emulator takes that folder as the JVM's root.
if(NOT VARNOK_AARCH64_LIBRARY)
  return()  # the aarch64 part is not built, and a test says why
endif()
set(VARNOK_AARCH64_JRE_ROOT /opt/varnok-aarch64-jre CACHE PATH
  "Folder holding Debian's arm64 JRE and its libraries, unpacked (see tools/install-test-deps.sh)")
file(GLOB _varnok_aarch64_java "${VARNOK_AARCH64_JRE_ROOT}/usr/lib/jvm/*/bin/java")

set(_skip "")
if(NOT VARNOK_AARCH64_EMULATOR)
  set(_skip "no qemu-aarch64-static (Debian package qemu-user-static)")
elseif(NOT _varnok_aarch64_java)
  set(_skip "no arm64 JRE in VARNOK_AARCH64_JRE_ROOT=${VARNOK_AARCH64_JRE_ROOT} "
            "(Debian's openjdk-17-jre-headless:arm64, which tools/install-test-deps.sh unpacks there)")
  string(CONCAT _skip ${_skip})
endif()
if(_skip)
  message(STATUS "aarch64 JVM test skipped: ${_skip}")
  add_test(NAME aarch64.java.clock COMMAND "${CMAKE_COMMAND}" -E echo "skipped: ${_skip}")
  set_tests_properties(aarch64.java.clock PROPERTIES
    SKIP_REGULAR_EXPRESSION "^skipped: " LABELS "aarch64;java")
  return()
endif()

list(GET _varnok_aarch64_java 0 _varnok_aarch64_java)
# The clocksources an aarch64 kernel states, so that VarnokClock reads the counter as it
# does on such a host (it reads the JDK's clock where arch_sys_counter is not among them).
add_test(NAME aarch64.java.clock
  COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/java/with_clocksources.sh" "arch_sys_counter "
          "${CMAKE_COMMAND}" -E env "QEMU_LD_PREFIX=${VARNOK_AARCH64_JRE_ROOT}"
          "${VARNOK_AARCH64_EMULATOR}" "${_varnok_aarch64_java}"
          "-Djava.io.tmpdir=${_varnok_tmp}/aarch64_clock" ${_varnok_no_library_path}
          ${_varnok_full_cp} com.vornix.common.unix.tests.VarnokClockTest
          # Emulated, a pair of reads can take longer than the 20 us that the
          # closest pair with Instant.now must be within on real hardware.
          1000)
set_tests_properties(aarch64.java.clock PROPERTIES LABELS "aarch64;java;mountns" TIMEOUT 600
  SKIP_RETURN_CODE 77)
