# The classes, the module descriptor and the libraries in one multi-release
# jar, each library where the loader looks for it on its platform (os.arch as
# the JDK names it), and VarnokTime's JDK 22 binding under
# META-INF/versions/22/. The target is called varnok and has the JAR_FILE
# property of an add_jar target, so other jars can take it in INCLUDE_JARS
# and depend on it, libraries included.
get_target_property(_varnok_classes_jar varnok-classes JAR_FILE)
set(VARNOK_JAR "${CMAKE_CURRENT_BINARY_DIR}/varnok.jar")
set(_varnok_jar_resources "${CMAKE_CURRENT_BINARY_DIR}/jar-resources")
set(_varnok_jar_libraries "$<TARGET_FILE:varnok_jni>" ${VARNOK_JAR_PLATFORM_AMD64})
set(_varnok_jar_depends varnok_jni)
if(VARNOK_AARCH64_LIBRARY)
  list(APPEND _varnok_jar_libraries "${VARNOK_AARCH64_LIBRARY}" ${VARNOK_JAR_PLATFORM_AARCH64})
  list(APPEND _varnok_jar_depends varnok-aarch64 "${VARNOK_AARCH64_LIBRARY}")
endif()
set(_varnok_jar_copies)
set(_varnok_jar_entries)
while(_varnok_jar_libraries)
  list(POP_FRONT _varnok_jar_libraries _library _platform)
  set(_entry "${VARNOK_JAR_NATIVE_ROOT}/${_platform}/libvarnok_jni.so")
  list(APPEND _varnok_jar_copies
    COMMAND "${CMAKE_COMMAND}" -E make_directory "${_varnok_jar_resources}/${VARNOK_JAR_NATIVE_ROOT}/${_platform}"
    COMMAND "${CMAKE_COMMAND}" -E copy "${_library}" "${_varnok_jar_resources}/${_entry}")
  list(APPEND _varnok_jar_entries -C "${_varnok_jar_resources}" "${_entry}")
endwhile()
add_custom_command(
  OUTPUT "${VARNOK_JAR}"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_varnok_jar_resources}"
  ${_varnok_jar_copies}
  # Built aside and renamed, so that a failed update leaves no jar that looks
  # up to date. jar's --release puts what follows it under
  # META-INF/versions/9/ and marks the manifest Multi-Release: true.
  COMMAND "${CMAKE_COMMAND}" -E copy "${_varnok_classes_jar}" "${VARNOK_JAR}.part"
  COMMAND "${VARNOK_JAR_TOOL}" --update --file "${VARNOK_JAR}.part"
          ${_varnok_jar_entries}
          --release 9 -C "${_varnok_module_dir}" module-info.class
          ${_varnok_jar_java22}
  COMMAND "${CMAKE_COMMAND}" -E rename "${VARNOK_JAR}.part" "${VARNOK_JAR}"
  DEPENDS ${_varnok_jar_depends} varnok-classes "${_varnok_classes_jar}"
          "${_varnok_module_dir}/module-info.class"
          ${_varnok_java22_classes}
  COMMENT "Building varnok.jar: the classes, the module and libvarnok_jni.so"
  VERBATIM)
add_custom_target(varnok ALL DEPENDS "${VARNOK_JAR}")
set_target_properties(varnok PROPERTIES JAR_FILE "${VARNOK_JAR}")
install(FILES "${VARNOK_JAR}" DESTINATION "${CMAKE_INSTALL_DATADIR}/java")

# Java for the tests and benchmarks that measure this build's library: named
# explicitly, so that no other copy can stand in for it.
set(VARNOK_JAVA_RUN
  "${Java_JAVA_EXECUTABLE}"
  "-Dcom.vornix.common.unix.varnok.library=$<TARGET_FILE:varnok_jni>")
