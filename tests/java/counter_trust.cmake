# Whether the kernel trusts the counter, read by VarnokTime on both JDKs and
# by varnok_accuracy, on fake kernel files in private mount namespaces (root
# only; it skips, saying why, without). Included from java_tests.cmake after
# the adapters' tests, whose Agrona class path it borrows.
set(_varnok_trust_adapter_cp "")
if(TARGET varnok-agrona)
  get_target_property(_jar varnok-agrona JAR_FILE)
  list(JOIN _varnok_framework_agrona ":" _framework)
  set(_varnok_trust_adapter_cp
    "${_varnok_java_tests_cp}:${_varnok_adapter_tests_jar}:${_jar}:${_framework}")
endif()
add_test(NAME java.counter_trust
  COMMAND bash "${CMAKE_CURRENT_SOURCE_DIR}/java/counter_trust.sh"
          "$<TARGET_FILE:varnok_accuracy>" "$<TARGET_FILE:varnok_jni>"
          "${Java_JAVA_EXECUTABLE}" "${VARNOK_NEWER_JDK}/bin/java" "${_varnok_newer_binding}"
          "${VARNOK_NEWER_JDK_MISSING}" "${_varnok_java_tests_cp}" "${_varnok_trust_adapter_cp}")
set_tests_properties(java.counter_trust PROPERTIES
  LABELS "java;tool;mountns" SKIP_RETURN_CODE 77 TIMEOUT 300)
