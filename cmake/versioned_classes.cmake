# The classes the jar keeps for newer JDKs under META-INF/versions/.
#
# The module com.vornix.common.unix. Its descriptor is for Java 9, in the jar's
# META-INF/versions/9/, where Java 8 does not look. It is compiled with the
# classes so that javac checks what it exports; only the descriptor is kept.
set(_varnok_module_dir "${CMAKE_CURRENT_BINARY_DIR}/module-info")
add_custom_command(
  OUTPUT "${_varnok_module_dir}/module-info.class"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_varnok_module_dir}"
  COMMAND "${Java_JAVAC_EXECUTABLE}" --release 9 -Xlint:all -Xlint:-options -Werror
          -d "${_varnok_module_dir}"
          "${PROJECT_SOURCE_DIR}/java/module-info.java" ${_varnok_java_sources}
  DEPENDS "${PROJECT_SOURCE_DIR}/java/module-info.java" ${_varnok_java_sources}
  COMMENT "Compiling the module descriptor of com.vornix.common.unix"
  VERBATIM)

# The binding of VarnokTime for JDK 22 and later, which reaches the library
# through critical downcalls of the Foreign Function and Memory API, in the
# jar's META-INF/versions/22/. It needs a JDK 22+ to compile; without one
# the jar has only the base binding, which calls Varnok's JNI methods on
# every JDK.
set(VARNOK_JAVA22_SOURCES
  "${PROJECT_SOURCE_DIR}/java/versions/22/com/vornix/common/unix/ClockBinding.java")
set(_varnok_java22_dir "${CMAKE_CURRENT_BINARY_DIR}/java22-classes")
set(VARNOK_JAR_TOOL "${Java_JAR_EXECUTABLE}")
set(_varnok_jar_java22)
set(_varnok_java22_classes)
if(VARNOK_NEWER_JDK AND NOT VARNOK_NEWER_JDK_MAJOR LESS 22)
  set(VARNOK_CRITICAL_BINDING ON)
  get_target_property(_varnok_classes_jar varnok-classes JAR_FILE)
  add_custom_command(
    OUTPUT "${_varnok_java22_dir}/com/vornix/common/unix/ClockBinding.class"
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_varnok_java22_dir}"
    COMMAND "${VARNOK_NEWER_JDK}/bin/javac" --release 22 -Xlint:all -Werror
            -cp "${_varnok_classes_jar}" -d "${_varnok_java22_dir}" ${VARNOK_JAVA22_SOURCES}
    DEPENDS ${VARNOK_JAVA22_SOURCES} varnok-classes "${_varnok_classes_jar}"
    COMMENT "Compiling the JDK 22 binding (critical downcalls) with JDK ${VARNOK_NEWER_JDK_MAJOR}"
    VERBATIM)
  # An older jar tool cannot read the class to check its API against the base one.
  set(VARNOK_JAR_TOOL "${VARNOK_NEWER_JDK}/bin/jar")
  set(_varnok_java22_classes "${_varnok_java22_dir}/com/vornix/common/unix/ClockBinding.class")
  set(_varnok_jar_java22 --release 22 -C "${_varnok_java22_dir}"
      com/vornix/common/unix/ClockBinding.class)
  message(STATUS "Critical-downcall binding for JDK 22 and later: compiled with ${VARNOK_NEWER_JDK}")
else()
  set(VARNOK_CRITICAL_BINDING OFF)
  # Debian 12 packages no JDK that new, so no package can be named here.
  set(_varnok_why "${VARNOK_NEWER_JDK_MISSING}")
  if(NOT _varnok_why)
    set(_varnok_why "the newest JDK found is ${VARNOK_NEWER_JDK_MAJOR}")
  endif()
  message(STATUS "Critical-downcall binding skipped: it needs a JDK 22 or later to compile "
                 "(${_varnok_why}; Debian 12 packages none: unpack one, e.g. Temurin, "
                 "into /usr/lib/jvm); the jar uses JNI on every JDK")
endif()
