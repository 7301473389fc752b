# The jar used the ways users use it (class path, module path, java -jar on the
# demo), on the JDK that builds and on a newer one, whose JVM restricts JNI
# (JDK 24 and later). Standard error must stay empty: no warning where native
# access is granted, and where it is denied the refusal is the test's to catch.
# The library always comes out of the jar, as nothing is on the library path.

# The major version of the JDK at HOME from its release file (1.8.0_x is 8),
# or empty when HOME holds no JDK.
function(varnok_jdk_major home out)
  set(major "")
  if(EXISTS "${home}/bin/java" AND EXISTS "${home}/release")
    file(STRINGS "${home}/release" line REGEX "^JAVA_VERSION=" LIMIT_COUNT 1)
    if(line MATCHES "^JAVA_VERSION=\"(1\\.)?([0-9]+)")
      set(major "${CMAKE_MATCH_2}")
    endif()
  endif()
  set(${out} "${major}" PARENT_SCOPE)
endfunction()

set(VARNOK_EXTRA_JDK "" CACHE PATH
  "Home of a JDK newer than the building one, for the Java tests; empty: the newest found in /usr/lib/jvm")
if(VARNOK_EXTRA_JDK)
  varnok_jdk_major("${VARNOK_EXTRA_JDK}" _varnok_newer_major)
  if(NOT _varnok_newer_major)
    message(FATAL_ERROR "VARNOK_EXTRA_JDK=${VARNOK_EXTRA_JDK} holds no JDK (bin/java and release)")
  endif()
  set(_varnok_newer_jdk "${VARNOK_EXTRA_JDK}")
else()
  set(_varnok_newer_major 0)
  file(GLOB _varnok_jvms LIST_DIRECTORIES true /usr/lib/jvm/*)
  foreach(home IN LISTS _varnok_jvms)
    varnok_jdk_major("${home}" major)
    if(major AND major GREATER Java_VERSION_MAJOR AND major GREATER _varnok_newer_major)
      set(_varnok_newer_major ${major})
      set(_varnok_newer_jdk "${home}")
    endif()
  endforeach()
endif()

set(_varnok_newer_skip "")
set(_varnok_denied_skip "")
if(NOT _varnok_newer_jdk)
  set(_varnok_newer_skip "no JDK newer than ${Java_VERSION_MAJOR} in /usr/lib/jvm; name one with -DVARNOK_EXTRA_JDK=DIR")
  set(_varnok_denied_skip "${_varnok_newer_skip}")
  message(STATUS "Java tests on a newer JDK: skipped, ${_varnok_newer_skip}")
else()
  message(STATUS "Java tests on a newer JDK: JDK ${_varnok_newer_major} in ${_varnok_newer_jdk}")
  if(_varnok_newer_major LESS 24)
    set(_varnok_denied_skip "JDK ${_varnok_newer_major} (${_varnok_newer_jdk}) cannot deny native access to JNI; JDK 24 and later can")
  endif()
endif()

# A test that runs JAVA ARGS... and fails on any output to standard error; or,
# when SKIP is not empty, one that prints SKIP and is counted as skipped.
function(varnok_quiet_java_test name java skip)
  if(skip)
    add_test(NAME ${name} COMMAND sh -c "echo \"skipped: $1\"; exit 77" sh "${skip}")
  else()
    add_test(NAME ${name}
      COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/java/expect_no_stderr.sh" "${java}" ${ARGN})
  endif()
  set_tests_properties(${name} PROPERTIES LABELS java TIMEOUT 120 SKIP_RETURN_CODE 77)
endfunction()

set(_varnok_module com.vornix.common.unix)
set(_varnok_class_path -cp "${_varnok_java_tests_cp}")
set(_varnok_module_path --module-path "${_varnok_jar}" --add-modules ${_varnok_module}
    -cp "${_varnok_java_tests_jar}")
set(_varnok_grant_class_path --enable-native-access=ALL-UNNAMED)
set(_varnok_grant_module_path --enable-native-access=${_varnok_module})
set(_varnok_newer_java "${_varnok_newer_jdk}/bin/java")

foreach(way class_path module_path)
  # The building JDK (17 in CI), run as users run it there: without flags.
  varnok_quiet_java_test(java.build_jdk.${way} "${Java_JAVA_EXECUTABLE}" ""
    "-Djava.io.tmpdir=${_varnok_tmp}/build_jdk.${way}" ${_varnok_no_library_path}
    ${_varnok_${way}} ${_varnok_loader} extracts "${_varnok_tmp}/build_jdk.${way}")
  varnok_quiet_java_test(java.newer_jdk.${way}.granted "${_varnok_newer_java}"
    "${_varnok_newer_skip}" ${_varnok_grant_${way}}
    "-Djava.io.tmpdir=${_varnok_tmp}/newer_jdk.${way}.granted" ${_varnok_no_library_path}
    ${_varnok_${way}} ${_varnok_loader} extracts "${_varnok_tmp}/newer_jdk.${way}.granted")
  varnok_quiet_java_test(java.newer_jdk.${way}.denied "${_varnok_newer_java}"
    "${_varnok_denied_skip}" --illegal-native-access=deny
    "-Djava.io.tmpdir=${_varnok_tmp}/newer_jdk.${way}.denied" ${_varnok_no_library_path}
    ${_varnok_${way}} ${_varnok_loader} denied ${_varnok_grant_${way}})
endforeach()

# java -jar on the demo: its manifest finds varnok.jar and grants native access.
if(TARGET varnok-demo)
  get_target_property(_varnok_demo_jar varnok-demo JAR_FILE)
  foreach(jdk build_jdk newer_jdk)
    if(jdk STREQUAL "build_jdk")
      set(java "${Java_JAVA_EXECUTABLE}")
      set(skip "")
    else()
      set(java "${_varnok_newer_java}")
      set(skip "${_varnok_newer_skip}")
    endif()
    varnok_quiet_java_test(java.${jdk}.demo_jar "${java}" "${skip}"
      "-Djava.io.tmpdir=${_varnok_tmp}/${jdk}.demo_jar" ${_varnok_no_library_path}
      -jar "${_varnok_demo_jar}" 10000)
  endforeach()
endif()
