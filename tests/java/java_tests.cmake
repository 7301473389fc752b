# Tests of the Java class on the real library, each in its own JVM.

add_jar(varnok-java-tests
  SOURCES
    ${CMAKE_CURRENT_SOURCE_DIR}/java/com/vornix/common/unix/tests/Checks.java
    ${CMAKE_CURRENT_SOURCE_DIR}/java/com/vornix/common/unix/tests/VarnokClockTest.java
    ${CMAKE_CURRENT_SOURCE_DIR}/java/com/vornix/common/unix/tests/VarnokLoaderTest.java
  INCLUDE_JARS varnok)

get_target_property(_varnok_jar varnok JAR_FILE)
get_target_property(_varnok_java_tests_jar varnok-java-tests JAR_FILE)
set(_varnok_java_tests_cp "${_varnok_jar}:${_varnok_java_tests_jar}")

# The clocks, with the library named by the property as an application would.
add_test(NAME java.clock
  COMMAND ${VARNOK_JAVA_RUN} -cp "${_varnok_java_tests_cp}"
          com.vornix.common.unix.tests.VarnokClockTest)

# The loader: a second copy of the library in a directory of its own, so that each case
# can tell from the process's mappings which of the two files was loaded.
set(_varnok_libdir "${CMAKE_CURRENT_BINARY_DIR}/java-loader/lib")
set(_varnok_lib_copy "${_varnok_libdir}/$<TARGET_FILE_NAME:varnok_jni>")
set(_varnok_missing "${CMAKE_CURRENT_BINARY_DIR}/java-loader/missing")
add_custom_command(
  OUTPUT "${_varnok_libdir}/libvarnok_jni.so"
  COMMAND ${CMAKE_COMMAND} -E make_directory "${_varnok_libdir}"
  COMMAND ${CMAKE_COMMAND} -E copy "$<TARGET_FILE:varnok_jni>" "${_varnok_lib_copy}"
  DEPENDS varnok_jni
  COMMENT "Copying the native library for the loader tests")
add_custom_target(varnok-java-tests-lib ALL DEPENDS "${_varnok_libdir}/libvarnok_jni.so")

set(_varnok_loader
  -cp "${_varnok_java_tests_cp}" com.vornix.common.unix.tests.VarnokLoaderTest)
set(_varnok_property "-Dcom.vornix.common.unix.varnok.library")

# java.library.path alone.
add_test(NAME java.loader.library_path
  COMMAND "${Java_JAVA_EXECUTABLE}" "-Djava.library.path=${_varnok_libdir}"
          ${_varnok_loader} loads "${_varnok_lib_copy}")
# The property's file is missing: fall back to java.library.path.
add_test(NAME java.loader.property_missing_falls_back
  COMMAND "${Java_JAVA_EXECUTABLE}" "${_varnok_property}=${_varnok_missing}/libvarnok_jni.so"
          "-Djava.library.path=${_varnok_libdir}"
          ${_varnok_loader} loads "${_varnok_lib_copy}")
# Both usable: the property's file wins.
add_test(NAME java.loader.property_first
  COMMAND "${Java_JAVA_EXECUTABLE}" "${_varnok_property}=$<TARGET_FILE:varnok_jni>"
          "-Djava.library.path=${_varnok_libdir}"
          ${_varnok_loader} loads "$<TARGET_FILE:varnok_jni>")
# Neither usable: the error names both places tried.
add_test(NAME java.loader.both_missing
  COMMAND "${Java_JAVA_EXECUTABLE}" "${_varnok_property}=${_varnok_missing}/libvarnok_jni.so"
          "-Djava.library.path=${_varnok_missing}"
          ${_varnok_loader} fails)
# No property and nothing on java.library.path: the error points at the property.
add_test(NAME java.loader.no_property
  COMMAND "${Java_JAVA_EXECUTABLE}" "-Djava.library.path=${_varnok_missing}"
          ${_varnok_loader} fails)

set_tests_properties(
  java.clock java.loader.library_path java.loader.property_missing_falls_back
  java.loader.property_first java.loader.both_missing java.loader.no_property
  PROPERTIES LABELS java TIMEOUT 120)
