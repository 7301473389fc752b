# The jar used as users use it (class path, module path, java -jar on the demo)
# on the JDK that builds and on a newer one, whose JVM restricts JNI from 24
# on. Standard error must stay empty: granted access warns of nothing, and a
# denial is the test's to catch. The library always comes out of the jar.

# A newer JDK: VARNOK_EXTRA_JDK, or the newest under /usr/lib/jvm, by the
# JAVA_VERSION of its release file.
set(VARNOK_EXTRA_JDK "" CACHE PATH
  "Home of a JDK newer than the building one, for the Java tests; empty: the newest in /usr/lib/jvm")
file(GLOB _varnok_homes LIST_DIRECTORIES true /usr/lib/jvm/*)
set(_varnok_newer_major ${Java_VERSION_MAJOR})
set(_varnok_newer_jdk "")
foreach(home IN LISTS VARNOK_EXTRA_JDK _varnok_homes)
  set(major 0)
  if(EXISTS "${home}/bin/java" AND EXISTS "${home}/release")
    file(STRINGS "${home}/release" line REGEX "^JAVA_VERSION=\"[0-9]+" LIMIT_COUNT 1)
    if(line MATCHES "\"([0-9]+)")
      set(major ${CMAKE_MATCH_1})
    endif()
  endif()
  if(major AND home STREQUAL VARNOK_EXTRA_JDK)
    set(_varnok_newer_major ${major})
    set(_varnok_newer_jdk "${home}")
    break()
  elseif(major GREATER _varnok_newer_major)
    set(_varnok_newer_major ${major})
    set(_varnok_newer_jdk "${home}")
  endif()
endforeach()

if(NOT _varnok_newer_jdk)
  set(_varnok_newer_skip "no JDK newer than ${Java_VERSION_MAJOR} in /usr/lib/jvm, and no -DVARNOK_EXTRA_JDK=DIR")
  set(_varnok_denied_skip "${_varnok_newer_skip}")
elseif(_varnok_newer_major LESS 24)
  set(_varnok_denied_skip "JDK ${_varnok_newer_major} (${_varnok_newer_jdk}) cannot deny JNI native access; JDK 24 and later can")
endif()
if(VARNOK_EXTRA_JDK AND NOT _varnok_newer_jdk STREQUAL VARNOK_EXTRA_JDK)
  message(FATAL_ERROR "VARNOK_EXTRA_JDK=${VARNOK_EXTRA_JDK} holds no JDK (bin/java, release)")
elseif(_varnok_newer_jdk)
  message(STATUS "Java tests on a newer JDK: JDK ${_varnok_newer_major} in ${_varnok_newer_jdk}")
else()
  message(STATUS "Java tests on a newer JDK: skipped, ${_varnok_newer_skip}")
endif()

# Runs JAVA ARGS... failing on any standard error; where SKIP is set, prints
# it and counts as skipped instead.
function(varnok_quiet_java_test name java skip)
  if(skip)
    add_test(NAME ${name} COMMAND sh -c "echo \"skipped: $1\"; exit 77" sh "${skip}")
  else()
    add_test(NAME ${name}
      COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/java/expect_no_stderr.sh" "${java}"
              "-Djava.io.tmpdir=${_varnok_tmp}/${name}" ${_varnok_no_library_path} ${ARGN})
  endif()
  set_tests_properties(${name} PROPERTIES LABELS java TIMEOUT 120 SKIP_RETURN_CODE 77)
endfunction()

set(_varnok_newer "${_varnok_newer_jdk}/bin/java")
set(_varnok_class_path -cp "${_varnok_java_tests_cp}")
set(_varnok_module_path --module-path "${_varnok_jar}" --add-modules com.vornix.common.unix
    -cp "${_varnok_java_tests_jar}")
set(_varnok_grant_class_path --enable-native-access=ALL-UNNAMED)
set(_varnok_grant_module_path --enable-native-access=com.vornix.common.unix)
foreach(way class_path module_path)
  # On the building JDK (17 in CI) as users run it there: without options.
  set(name java.build_jdk.${way})
  varnok_quiet_java_test(${name} "${Java_JAVA_EXECUTABLE}" ""
    ${_varnok_${way}} ${_varnok_loader} extracts "${_varnok_tmp}/${name}")
  set(name java.newer_jdk.${way}.granted)
  varnok_quiet_java_test(${name} "${_varnok_newer}" "${_varnok_newer_skip}"
    ${_varnok_grant_${way}} ${_varnok_${way}} ${_varnok_loader} extracts "${_varnok_tmp}/${name}")
  varnok_quiet_java_test(java.newer_jdk.${way}.denied "${_varnok_newer}" "${_varnok_denied_skip}"
    --illegal-native-access=deny ${_varnok_${way}} ${_varnok_loader} denied ${_varnok_grant_${way}})
endforeach()

# java -jar on the demo: its manifest finds varnok.jar and grants native access.
if(TARGET varnok-demo)
  get_target_property(_varnok_demo_jar varnok-demo JAR_FILE)
  varnok_quiet_java_test(java.build_jdk.demo_jar "${Java_JAVA_EXECUTABLE}" ""
    -jar "${_varnok_demo_jar}" 10000)
  varnok_quiet_java_test(java.newer_jdk.demo_jar "${_varnok_newer}" "${_varnok_newer_skip}"
    -jar "${_varnok_demo_jar}" 10000)
endif()
