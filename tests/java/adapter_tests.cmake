# The adapters in real JVMs, each against its framework's class path from
# java-deps/, read as a user reads them: with Varnok (JDK 17, and the newer
# JDK with native access granted, both with nothing on standard error), and
# falling back to the framework's clock where Varnok cannot be used (another
# processor, varnok.jar missing, native access denied). Included from
# java_tests.cmake when the adapters are built.

set(_varnok_adapter_test_sources)
set(_varnok_adapter_test_classes AdapterSupport AdapterJarTest)
foreach(_name IN LISTS VARNOK_ADAPTERS)
  list(APPEND _varnok_adapter_test_classes ${VARNOK_ADAPTER_${_name}_TEST})
endforeach()
foreach(_class IN LISTS _varnok_adapter_test_classes)
  list(APPEND _varnok_adapter_test_sources
    "${CMAKE_CURRENT_SOURCE_DIR}/java/com/vornix/common/unix/tests/${_class}.java")
endforeach()
set(_varnok_adapter_jars)
set(_varnok_adapter_framework_jars)
foreach(_name IN LISTS VARNOK_ADAPTERS)
  varnok_java_classpath(${_name} _varnok_framework_${_name})
  list(APPEND _varnok_adapter_jars varnok-${_name})
  list(APPEND _varnok_adapter_framework_jars ${_varnok_framework_${_name}})
endforeach()
add_jar(varnok-adapter-tests
  SOURCES ${_varnok_adapter_test_sources}
  INCLUDE_JARS varnok varnok-java-tests ${_varnok_adapter_jars} ${_varnok_adapter_framework_jars})
get_target_property(_varnok_adapter_tests_jar varnok-adapter-tests JAR_FILE)

set(_varnok_library "-Dcom.vornix.common.unix.varnok.library=$<TARGET_FILE:varnok_jni>")
set(_varnok_newer_java "${VARNOK_NEWER_JDK}/bin/java")
set(_varnok_deny_skip "${VARNOK_NEWER_JDK_MISSING}")
if(VARNOK_NEWER_JDK AND VARNOK_NEWER_JDK_MAJOR LESS 24)
  set(_varnok_deny_skip "JDK ${VARNOK_NEWER_JDK_MAJOR} cannot deny native access; 24 and later can")
endif()
set(_varnok_quiet "${CMAKE_CURRENT_SOURCE_DIR}/java/expect_no_stderr.sh")

# The cases: name | skip reason | runner | java and its flags (';' in the
# row is '|') | mode | whether varnok.jar is on the class path.
set(_varnok_adapter_cases
  "build_jdk||${_varnok_quiet}|${Java_JAVA_EXECUTABLE}|${_varnok_library}|varnok|core"
  "unsupported_arch|||${Java_JAVA_EXECUTABLE}|-Dos.arch=riscv64|${_varnok_library}|fallback|core"
  "no_core_jar||||${Java_JAVA_EXECUTABLE}|fallback|"
  "newer_jdk.granted|${VARNOK_NEWER_JDK_MISSING}|${_varnok_quiet}|${_varnok_newer_java}|--enable-native-access=ALL-UNNAMED|${_varnok_library}|varnok|core"
  "newer_jdk.denied|${_varnok_deny_skip}||${_varnok_newer_java}|--illegal-native-access=deny|${_varnok_library}|fallback|core")

set(_varnok_adapter_tests)
foreach(_name IN LISTS VARNOK_ADAPTERS)
  get_target_property(_jar varnok-${_name} JAR_FILE)
  list(JOIN _varnok_framework_${_name} ":" _framework)
  foreach(_case IN LISTS _varnok_adapter_cases)
    string(REPLACE "|" ";" _row "${_case}")
    list(POP_FRONT _row _case_name _skip _runner)
    list(POP_BACK _row _core)
    list(POP_BACK _row _mode)
    set(_cp "${_varnok_java_tests_jar}:${_varnok_adapter_tests_jar}:${_jar}:${_framework}")
    if(_core)
      set(_cp "${_varnok_jar}:${_cp}")
    endif()
    set(_test adapters.${_name}.${_case_name})
    if(_skip)
      add_test(NAME ${_test} COMMAND sh -c "echo \"skipped: $1\"; exit 77" sh "${_skip}")
    else()
      add_test(NAME ${_test}
        COMMAND ${_runner} ${_row} ${VARNOK_ADAPTER_${_name}_FLAGS} -cp "${_cp}"
                com.vornix.common.unix.tests.${VARNOK_ADAPTER_${_name}_TEST} ${_mode})
    endif()
    list(APPEND _varnok_adapter_tests ${_test})
  endforeach()
  varnok_javadoc_test(adapters.${_name}.javadoc varnok-${_name} adapters)
endforeach()

# Log4j makes its clock once per JVM, from log4j2.clock: the unique clock stamps the
# events in JVMs of their own, with Varnok and falling back.
if("log4j2" IN_LIST VARNOK_ADAPTERS)
  get_target_property(_jar varnok-log4j2 JAR_FILE)
  list(JOIN _varnok_framework_log4j2 ":" _framework)
  set(_cp "${_varnok_jar}:${_varnok_java_tests_jar}:${_varnok_adapter_tests_jar}")
  string(APPEND _cp ":${_jar}:${_framework}")
  set(_clock -Dlog4j2.clock=com.vornix.common.unix.log4j2.VarnokUniquePreciseClock)
  add_test(NAME adapters.log4j2.unique.build_jdk
    COMMAND ${_varnok_quiet} "${Java_JAVA_EXECUTABLE}" ${_varnok_library} ${_clock} -cp "${_cp}"
            com.vornix.common.unix.tests.Log4jAdapterTest varnok)
  add_test(NAME adapters.log4j2.unique.unsupported_arch
    COMMAND "${Java_JAVA_EXECUTABLE}" -Dos.arch=riscv64 ${_varnok_library} ${_clock} -cp "${_cp}"
            com.vornix.common.unix.tests.Log4jAdapterTest fallback)
  list(APPEND _varnok_adapter_tests adapters.log4j2.unique.build_jdk
    adapters.log4j2.unique.unsupported_arch)
endif()

# Each jar's module name, manifest and class files: a class file's major
# version is its Java release plus 44.
set(_varnok_adapter_jar_args)
foreach(_name IN LISTS VARNOK_ADAPTERS)
  math(EXPR _class_version "${VARNOK_ADAPTER_${_name}_RELEASE} + 44")
  list(APPEND _varnok_adapter_jar_args
    $<TARGET_PROPERTY:varnok-${_name},JAR_FILE> com.vornix.common.unix.${_name} ${_class_version})
endforeach()
add_test(NAME adapters.jars
  COMMAND "${Java_JAVA_EXECUTABLE}" -cp "${_varnok_java_tests_jar}:${_varnok_adapter_tests_jar}"
          com.vornix.common.unix.tests.AdapterJarTest "${PROJECT_VERSION}"
          ${_varnok_adapter_jar_args})
set_tests_properties(${_varnok_adapter_tests} adapters.jars PROPERTIES
  LABELS "java;adapters" TIMEOUT 120 SKIP_RETURN_CODE 77)
