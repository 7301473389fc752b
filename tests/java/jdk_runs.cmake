# The jar used as users use it (class path, module path, java -jar on the demo)
# on the JDK that builds and on a newer one, whose JVM restricts JNI from 24
# on. Standard error must stay empty: granted access warns of nothing, and a
# denial is the test's to catch. The library always comes out of the jar.

# The newer JDK is found by cmake/newer_jdk.cmake.
set(_varnok_newer_jdk "${VARNOK_NEWER_JDK}")
set(_varnok_newer_major ${VARNOK_NEWER_JDK_MAJOR})
set(_varnok_newer_skip "${VARNOK_NEWER_JDK_MISSING}")
set(_varnok_denied_skip "${VARNOK_NEWER_JDK_MISSING}")
if(_varnok_newer_jdk AND _varnok_newer_major LESS 24)
  set(_varnok_denied_skip "JDK ${_varnok_newer_major} (${_varnok_newer_jdk}) cannot deny JNI native access; JDK 24 and later can")
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
set(_varnok_time_test com.vornix.common.unix.tests.VarnokTimeTest)
if(VARNOK_CRITICAL_BINDING)
  set(_varnok_newer_binding CRITICAL)
else()
  set(_varnok_newer_binding JNI)
endif()
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
  # VarnokTime takes the critical binding wherever the jar has it and access is granted.
  varnok_quiet_java_test(java.newer_jdk.${way}.time "${_varnok_newer}" "${_varnok_newer_skip}"
    ${_varnok_grant_${way}} ${_varnok_${way}} ${_varnok_time_test} ${_varnok_newer_binding})
endforeach()

# The JNI binding forced, for measurements and as an escape hatch.
varnok_quiet_java_test(java.newer_jdk.time.forced_jni "${_varnok_newer}" "${_varnok_newer_skip}"
  ${_varnok_grant_class_path} -Dcom.vornix.common.unix.varnok.binding=jni
  ${_varnok_class_path} ${_varnok_time_test} JNI)
# Each value of the binding property on each JDK, in a JVM of its own (the property is
# read once): the binding it gives and what its reason must name. Below JDK 22 there is
# nothing to choose, whatever the value, and the reason names the running release. From
# 22 on, the jar's critical binding is taken unless the value asks for JNI or is unknown
# (here a misspelling), which gives JNI and is named; a jar built without that binding
# says so instead. Access is granted where the JDK has downcalls to grant it for.
set(_varnok_binding_values "unset|" "critical|critical" "jni|jni" "unknown|critcal")
foreach(jdk build_jdk newer_jdk)
  if(jdk STREQUAL "build_jdk")
    set(java "${Java_JAVA_EXECUTABLE}")
    set(major ${Java_VERSION_MAJOR})
    set(skip "")
  else()
    set(java "${_varnok_newer}")
    set(major ${_varnok_newer_major})
    set(skip "${_varnok_newer_skip}")
  endif()
  set(grant)
  if(NOT major LESS 22)
    set(grant ${_varnok_grant_class_path})
  endif()
  foreach(row IN LISTS _varnok_binding_values)
    string(REPLACE "|" ";" row "${row}")
    list(GET row 0 name)
    list(GET row 1 value)
    set(property)
    if(value)
      set(property -Dcom.vornix.common.unix.varnok.binding=${value})
    endif()
    if(major LESS 22)
      set(expected JNI "Java ${major}")
    elseif(NOT VARNOK_CRITICAL_BINDING)
      set(expected JNI "not on this class path")
    elseif(name MATCHES "^(unset|critical)$")
      set(expected CRITICAL "Java ${major}")
    else()
      set(expected JNI "=${value}")
    endif()
    varnok_quiet_java_test(java.${jdk}.binding.${name} "${java}" "${skip}" ${grant} ${property}
      ${_varnok_class_path} com.vornix.common.unix.tests.VarnokBindingTest ${expected})
  endforeach()
endforeach()

# Without the grant, JDK 24 and later warn once, when the library loads; making the
# downcalls after that must not warn again.
if(_varnok_newer_skip)
  varnok_quiet_java_test(java.newer_jdk.time.one_warning "" "${_varnok_newer_skip}")
elseif(_varnok_newer_major LESS 24)
  varnok_quiet_java_test(java.newer_jdk.time.one_warning ""
    "JDK ${_varnok_newer_major} does not warn of JNI; JDK 24 and later do")
else()
  add_test(NAME java.newer_jdk.time.one_warning
    COMMAND "${CMAKE_CURRENT_SOURCE_DIR}/java/expect_one_warning.sh" "${_varnok_newer}"
            "-Djava.io.tmpdir=${_varnok_tmp}/java.newer_jdk.time.one_warning"
            ${_varnok_no_library_path} ${_varnok_class_path} ${_varnok_time_test}
            ${_varnok_newer_binding})
  set_tests_properties(java.newer_jdk.time.one_warning PROPERTIES LABELS java TIMEOUT 120)
endif()
# Unique stamps through the binding the newer JDK takes: critical where the jar has it.
varnok_quiet_java_test(java.newer_jdk.unique "${_varnok_newer}" "${_varnok_newer_skip}"
  ${_varnok_grant_class_path} ${_varnok_class_path}
  com.vornix.common.unix.tests.VarnokUniqueTest varnok)
# Full collections complete while threads call the critical binding in a loop.
varnok_quiet_java_test(java.newer_jdk.gc_stress "${_varnok_newer}" "${_varnok_newer_skip}"
  ${_varnok_grant_class_path} -Xcheck:jni -Xmx64m ${_varnok_class_path}
  com.vornix.common.unix.tests.VarnokGcStressTest 4000)
set_tests_properties(java.newer_jdk.gc_stress PROPERTIES
  FAIL_REGULAR_EXPRESSION "WARNING|FATAL ERROR|Exception in thread")

# java -jar on the demo: its manifest finds varnok.jar and grants native access.
if(TARGET varnok-demo)
  get_target_property(_varnok_demo_jar varnok-demo JAR_FILE)
  varnok_quiet_java_test(java.build_jdk.demo_jar "${Java_JAVA_EXECUTABLE}" ""
    -jar "${_varnok_demo_jar}" 10000)
  varnok_quiet_java_test(java.newer_jdk.demo_jar "${_varnok_newer}" "${_varnok_newer_skip}"
    -jar "${_varnok_demo_jar}" 10000)
  # The demo says which binding it reads through.
  set_tests_properties(java.build_jdk.demo_jar PROPERTIES FAIL_REGULAR_EXPRESSION "Binding: CRITICAL")
  if(VARNOK_CRITICAL_BINDING)
    set_tests_properties(java.newer_jdk.demo_jar PROPERTIES FAIL_REGULAR_EXPRESSION "Binding: JNI")
  endif()
endif()
