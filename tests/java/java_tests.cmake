# Tests of the Java class on the real library, each in its own JVM.

add_jar(varnok-java-tests
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/java/com/vornix/common/unix/tests/Checks.java
    ${CMAKE_CURRENT_SOURCE_DIR}/java/com/vornix/common/unix/tests/CounterTrustTest.java
    ${CMAKE_CURRENT_SOURCE_DIR}/java/com/vornix/common/unix/tests/VarnokBindingTest.java
    ${CMAKE_CURRENT_SOURCE_DIR}/java/com/vornix/common/unix/tests/VarnokClockTest.java
    ${CMAKE_CURRENT_SOURCE_DIR}/java/com/vornix/common/unix/tests/VarnokGcStressTest.java
    ${CMAKE_CURRENT_SOURCE_DIR}/java/com/vornix/common/unix/tests/VarnokJarTest.java
    ${CMAKE_CURRENT_SOURCE_DIR}/java/com/vornix/common/unix/tests/VarnokLoaderTest.java
    ${CMAKE_CURRENT_SOURCE_DIR}/java/com/vornix/common/unix/tests/VarnokTimeTest.java
    ${CMAKE_CURRENT_SOURCE_DIR}/java/com/vornix/common/unix/tests/VarnokUniqueTest.java
  INCLUDE_JARS varnok)

get_target_property(_varnok_jar varnok JAR_FILE)
get_target_property(_varnok_java_tests_jar varnok-java-tests JAR_FILE)
set(_varnok_java_tests_cp "${_varnok_jar}:${_varnok_java_tests_jar}")

# The clocks, with the library named by the property as an application would.
add_test(NAME java.clock
  COMMAND ${VARNOK_JAVA_RUN} -cp "${_varnok_java_tests_cp}"
          com.vornix.common.unix.tests.VarnokClockTest)

# The same, and the clocks under allocation and forced collections, with the JVM
# checking every JNI transition. The JVM reports a misuse as a warning and goes on,
# so any warning fails the test.
add_test(NAME java.clock_checkjni
  COMMAND ${VARNOK_JAVA_RUN} -Xcheck:jni -cp "${_varnok_java_tests_cp}"
          com.vornix.common.unix.tests.VarnokClockTest)
add_test(NAME java.gc_stress
  COMMAND ${VARNOK_JAVA_RUN} -Xcheck:jni -Xmx64m -cp "${_varnok_java_tests_cp}"
          com.vornix.common.unix.tests.VarnokGcStressTest 4000)
set_tests_properties(java.clock_checkjni java.gc_stress PROPERTIES
  LABELS java TIMEOUT 120
  FAIL_REGULAR_EXPRESSION "WARNING|FATAL ERROR|Exception in thread")

# The loader: a second copy of the library in a directory of its own, so that each case
# can tell from the process's mappings which of the files was loaded (this copy, the
# built library, or the jar's, extracted under a temporary directory). Every case has a
# temporary directory of its own, so that cases running at once cannot see each other's
# extracted copies.
set(_varnok_libdir "${CMAKE_CURRENT_BINARY_DIR}/java-loader/lib")
set(_varnok_lib_copy "${_varnok_libdir}/$<TARGET_FILE_NAME:varnok_jni>")
set(_varnok_missing "${CMAKE_CURRENT_BINARY_DIR}/java-loader/missing")
set(_varnok_tmp "${CMAKE_CURRENT_BINARY_DIR}/java-loader/tmp")
set(_varnok_tmpdirs)
# jdk_runs.cmake's cases take their test's name.
set(_varnok_jdk_cases java.build_jdk.class_path java.build_jdk.module_path
  java.build_jdk.demo_jar java.newer_jdk.class_path.granted java.newer_jdk.class_path.denied
  java.newer_jdk.module_path.granted java.newer_jdk.module_path.denied java.newer_jdk.demo_jar
  java.newer_jdk.class_path.time java.newer_jdk.module_path.time java.newer_jdk.time.forced_jni
  java.newer_jdk.time.one_warning java.newer_jdk.gc_stress java.newer_jdk.unique)
foreach(jdk build_jdk newer_jdk)
  foreach(value unset critical jni unknown)
    list(APPEND _varnok_jdk_cases java.${jdk}.binding.${value})
  endforeach()
endforeach()
foreach(case property_first property_missing_no_fallback library_path jar
             tmpdir_property missing_tmpdir readonly_tmpdir classes_only_jar unsupported jar_contents
             aarch64_clock ${_varnok_jdk_cases})
  list(APPEND _varnok_tmpdirs "${_varnok_tmp}/${case}")
endforeach()
add_custom_command(
  OUTPUT "${_varnok_libdir}/libvarnok_jni.so"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${_varnok_libdir}" ${_varnok_tmpdirs}
  COMMAND ${CMAKE_COMMAND} -E copy "$<TARGET_FILE:varnok_jni>" "${_varnok_lib_copy}"
  DEPENDS varnok_jni
  COMMENT "Copying the native library for the loader tests")
add_custom_target(varnok-java-tests-lib ALL DEPENDS "${_varnok_libdir}/libvarnok_jni.so")

get_target_property(_varnok_classes_jar varnok-classes JAR_FILE)
set(_varnok_loader com.vornix.common.unix.tests.VarnokLoaderTest)
set(_varnok_full_cp -cp "${_varnok_java_tests_cp}")
set(_varnok_classes_cp -cp "${_varnok_classes_jar}:${_varnok_java_tests_jar}")
set(_varnok_property "-Dcom.vornix.common.unix.varnok.library")
set(_varnok_tmpdir_property "-Dcom.vornix.common.unix.varnok.tmpdir")
# Nothing on the library path, not even a copy installed on the machine.
set(_varnok_no_library_path "-Djava.library.path=${_varnok_missing}")
set(_varnok_with_tmpfs "${CMAKE_CURRENT_SOURCE_DIR}/java/with_tmpfs.sh")

# The property's file wins over the library path and the jar.
add_test(NAME java.loader.property_first
  COMMAND "${Java_JAVA_EXECUTABLE}" "-Djava.io.tmpdir=${_varnok_tmp}/property_first"
          "${_varnok_property}=$<TARGET_FILE:varnok_jni>" "-Djava.library.path=${_varnok_libdir}"
          ${_varnok_full_cp} ${_varnok_loader} loads "$<TARGET_FILE:varnok_jni>")
# The property's file is missing: that is the error, though the library path and the jar
# both hold a copy that would load.
add_test(NAME java.loader.property_missing_no_fallback
  COMMAND "${Java_JAVA_EXECUTABLE}"
          "-Djava.io.tmpdir=${_varnok_tmp}/property_missing_no_fallback"
          "${_varnok_property}=${_varnok_missing}/libvarnok_jni.so"
          "-Djava.library.path=${_varnok_libdir}"
          ${_varnok_full_cp} ${_varnok_loader} fails 1)
# The library path before the jar: nothing is extracted.
add_test(NAME java.loader.library_path
  COMMAND "${Java_JAVA_EXECUTABLE}" "-Djava.io.tmpdir=${_varnok_tmp}/library_path"
          "-Djava.library.path=${_varnok_libdir}"
          ${_varnok_full_cp} ${_varnok_loader} loads "${_varnok_lib_copy}")
# The jar alone: its copy is extracted under java.io.tmpdir, loaded and deleted.
add_test(NAME java.loader.jar
  COMMAND "${Java_JAVA_EXECUTABLE}" "-Djava.io.tmpdir=${_varnok_tmp}/jar"
          ${_varnok_no_library_path}
          ${_varnok_full_cp} ${_varnok_loader} extracts "${_varnok_tmp}/jar")
# The tmpdir property replaces java.io.tmpdir, which here does not even exist.
add_test(NAME java.loader.tmpdir_property
  COMMAND "${Java_JAVA_EXECUTABLE}" "-Djava.io.tmpdir=${_varnok_missing}"
          "${_varnok_tmpdir_property}=${_varnok_tmp}/tmpdir_property"
          ${_varnok_no_library_path}
          ${_varnok_full_cp} ${_varnok_loader} extracts "${_varnok_tmp}/tmpdir_property")
# The tmpdir property names a directory that does not exist: the library path and the
# jar both fail, and each failure is attached.
add_test(NAME java.loader.missing_tmpdir
  COMMAND "${Java_JAVA_EXECUTABLE}" "-Djava.io.tmpdir=${_varnok_tmp}/missing_tmpdir"
          "${_varnok_tmpdir_property}=${_varnok_missing}"
          ${_varnok_no_library_path}
          ${_varnok_full_cp} ${_varnok_loader} fails 2)
# A temporary directory mounted noexec: the copy is written but cannot be mapped. The
# error says which property to set, and the copy is deleted all the same.
add_test(NAME java.loader.noexec_tmpdir
  COMMAND "${_varnok_with_tmpfs}" noexec "${_varnok_tmp}/noexec_tmpdir"
          "${Java_JAVA_EXECUTABLE}" "-Djava.io.tmpdir=${_varnok_tmp}/noexec_tmpdir"
          ${_varnok_no_library_path}
          ${_varnok_full_cp} ${_varnok_loader} fails 2)
# The tmpdir property names a read-only directory: that is where the copy must go, though
# java.io.tmpdir would have worked.
add_test(NAME java.loader.readonly_tmpdir
  COMMAND "${_varnok_with_tmpfs}" ro "${_varnok_tmp}/readonly_mount"
          "${Java_JAVA_EXECUTABLE}" "-Djava.io.tmpdir=${_varnok_tmp}/readonly_tmpdir"
          "${_varnok_tmpdir_property}=${_varnok_tmp}/readonly_mount"
          ${_varnok_no_library_path}
          ${_varnok_full_cp} ${_varnok_loader} fails 2)
# A jar of the classes alone and nothing on the library path: the error lists both tries.
add_test(NAME java.loader.classes_only_jar
  COMMAND "${Java_JAVA_EXECUTABLE}" "-Djava.io.tmpdir=${_varnok_tmp}/classes_only_jar"
          ${_varnok_no_library_path}
          ${_varnok_classes_cp} ${_varnok_loader} fails 1)
# Another processor or system: refused before any library is loaded, even a named one.
add_test(NAME java.loader.unsupported_arch
  COMMAND "${Java_JAVA_EXECUTABLE}" "-Djava.io.tmpdir=${_varnok_tmp}/unsupported"
          -Dos.arch=riscv64
          "${_varnok_property}=$<TARGET_FILE:varnok_jni>"
          ${_varnok_full_cp} ${_varnok_loader} unsupported)
add_test(NAME java.loader.unsupported_os
  COMMAND "${Java_JAVA_EXECUTABLE}" "-Djava.io.tmpdir=${_varnok_tmp}/unsupported"
          "-Dos.name=Mac OS X"
          "${_varnok_property}=$<TARGET_FILE:varnok_jni>"
          ${_varnok_full_cp} ${_varnok_loader} unsupported)
# The jar: the class and the manifest carry the project's version, the libraries in it
# are the ones just built, it names and carries the licence, the classes are for Java 8
# and the module descriptor for Java 9.
add_test(NAME java.jar.contents
  COMMAND ${VARNOK_JAVA_RUN} "-Djava.io.tmpdir=${_varnok_tmp}/jar_contents"
          "-Dvarnok.test.java22=$<IF:$<BOOL:${VARNOK_CRITICAL_BINDING}>,true,false>"
          ${_varnok_full_cp} com.vornix.common.unix.tests.VarnokJarTest
          "${PROJECT_VERSION}" "$<TARGET_FILE:varnok_jni>" "${PROJECT_SOURCE_DIR}/LICENSE"
          ${VARNOK_AARCH64_LIBRARY})

# VarnokTime on the building JDK: JNI below JDK 22.
add_test(NAME java.time
  COMMAND ${VARNOK_JAVA_RUN} -cp "${_varnok_java_tests_cp}"
          com.vornix.common.unix.tests.VarnokTimeTest JNI)
# Unique stamps: across threads, in turn, in bursts, and as a Clock (JNI here); where
# Varnok cannot be used, the JDK's clock made unique, without the library.
add_test(NAME java.unique
  COMMAND ${VARNOK_JAVA_RUN} -cp "${_varnok_java_tests_cp}"
          com.vornix.common.unix.tests.VarnokUniqueTest varnok)
add_test(NAME java.unique.fallback
  COMMAND ${VARNOK_JAVA_RUN} -Dos.arch=riscv64 -cp "${_varnok_java_tests_cp}"
          com.vornix.common.unix.tests.VarnokUniqueTest fallback)
# A multi-release jar's versioned class must have its base class's API: the jar tool
# that can read every class in it says so.
add_test(NAME java.jar.validate
  COMMAND sh -c "out=$(\"$0\" --validate --file \"$1\" 2>&1); s=$?; printf '%s\\n' \"$out\"; [ $s -eq 0 ] && [ -z \"$out\" ]"
          "${VARNOK_JAR_TOOL}" "${_varnok_jar}")

# The public API's javadoc, run as the build runs it for the javadoc jar, but
# failing on any warning: every public class, method and constant documented,
# every reference resolved, the HTML well formed.
function(varnok_javadoc_test name artifact label)
  get_target_property(options ${artifact}-maven VARNOK_JAVADOC_OPTIONS)
  get_target_property(sources ${artifact}-maven VARNOK_JAVADOC_SOURCES)
  add_test(NAME ${name}
    COMMAND ${options} -Werror -d "${CMAKE_CURRENT_BINARY_DIR}/javadoc-check/${artifact}"
            ${sources})
  set_tests_properties(${name} PROPERTIES
    LABELS ${label} TIMEOUT 120 FAIL_REGULAR_EXPRESSION "warning")
endfunction()
varnok_javadoc_test(java.javadoc varnok java)

set_tests_properties(
  java.clock java.jar.contents java.time java.unique java.unique.fallback java.jar.validate
  java.loader.property_first java.loader.property_missing_no_fallback
  java.loader.library_path java.loader.jar java.loader.tmpdir_property
  java.loader.missing_tmpdir java.loader.noexec_tmpdir java.loader.readonly_tmpdir java.loader.classes_only_jar
  java.loader.unsupported_arch java.loader.unsupported_os
  PROPERTIES LABELS java TIMEOUT 120)
# The cases that mount a tmpfs skip themselves where they cannot.
set_tests_properties(java.loader.noexec_tmpdir java.loader.readonly_tmpdir
  PROPERTIES SKIP_RETURN_CODE 77 LABELS "java;mountns")

include(${CMAKE_CURRENT_LIST_DIR}/jdk_runs.cmake)
if(VARNOK_BUILD_ADAPTERS)
  include(${CMAKE_CURRENT_LIST_DIR}/adapter_tests.cmake)
endif()
if(VARNOK_BUILD_TOOLS)
  include(${CMAKE_CURRENT_LIST_DIR}/counter_trust.cmake)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/aarch64_jvm.cmake)
