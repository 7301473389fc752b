# com.vornix:varnok:VERSION as an entry of a Maven repository: varnok.jar,
# its POM, a sources jar and a javadoc jar, each with the SHA-1 and MD5 files
# that Maven checks a download against (without them every build that uses
# the entry warns). Built under build/maven-repo, so the build tree is itself
# a repository, and installed under <prefix>/share/maven-repo. There is no
# maven-metadata.xml: Maven needs none for a fixed version, and one written
# here would list only this version after two versions are installed into
# the same prefix.
# Included from the top-level CMakeLists.txt after the jar is defined.

set(VARNOK_MAVEN_ENTRY "com/vornix/varnok/${PROJECT_VERSION}")
set(_varnok_maven_dir "${CMAKE_CURRENT_BINARY_DIR}/maven-repo/${VARNOK_MAVEN_ENTRY}")
set(_varnok_maven_base "${_varnok_maven_dir}/varnok-${PROJECT_VERSION}")
set(_varnok_maven_files
  "${_varnok_maven_base}.jar" "${_varnok_maven_base}.pom"
  "${_varnok_maven_base}-sources.jar" "${_varnok_maven_base}-javadoc.jar")
configure_file(java/varnok.pom.in "${_varnok_maven_base}.pom" @ONLY)

# The javadoc of the public API, every warning of doclint on. The command is
# kept whole in these two variables so that the test java.javadoc runs it
# exactly as the build does. A warning does not fail the build (a newer JDK's
# doclint may know more checks than the one this was written against); the
# test fails on it.
find_program(VARNOK_JAVADOC javadoc PATHS "${VARNOK_JDK_HOME}/bin" NO_DEFAULT_PATH REQUIRED)
set(VARNOK_JAVADOC_COMMAND "${VARNOK_JAVADOC}" -Xdoclint:all -quiet -notimestamp
  -encoding UTF-8 -docencoding UTF-8 -charset UTF-8
  -doctitle "Varnok ${PROJECT_VERSION}" -windowtitle "Varnok ${PROJECT_VERSION}")
set(VARNOK_JAVADOC_SOURCES "${PROJECT_SOURCE_DIR}/java/module-info.java" ${_varnok_java_sources})

# Each jar is made aside and renamed, so that a failed step leaves no jar
# that looks up to date. Every jar carries the licence as META-INF/LICENSE.
set(_varnok_javadoc_dir "${CMAKE_CURRENT_BINARY_DIR}/javadoc")
add_custom_command(
  OUTPUT "${_varnok_maven_base}-javadoc.jar"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_varnok_javadoc_dir}"
  COMMAND ${VARNOK_JAVADOC_COMMAND} -d "${_varnok_javadoc_dir}" ${VARNOK_JAVADOC_SOURCES}
  COMMAND "${CMAKE_COMMAND}" -E copy "${PROJECT_SOURCE_DIR}/LICENSE"
          "${_varnok_javadoc_dir}/META-INF/LICENSE"
  COMMAND "${Java_JAR_EXECUTABLE}" --create --file "${_varnok_maven_base}-javadoc.jar.part"
          -C "${_varnok_javadoc_dir}" .
  COMMAND "${CMAKE_COMMAND}" -E rename "${_varnok_maven_base}-javadoc.jar.part"
          "${_varnok_maven_base}-javadoc.jar"
  DEPENDS ${VARNOK_JAVADOC_SOURCES}
  COMMENT "Building the javadoc of Varnok's Java API"
  VERBATIM)

# The sources as an IDE expects them beside the jar: the module descriptor at
# the root, the package's files (the configured VarnokBuild.java with them)
# under its path.
set(_varnok_sources_dir "${CMAKE_CURRENT_BINARY_DIR}/maven-sources")
add_custom_command(
  OUTPUT "${_varnok_maven_base}-sources.jar"
  COMMAND "${CMAKE_COMMAND}" -E rm -rf "${_varnok_sources_dir}"
  COMMAND "${CMAKE_COMMAND}" -E make_directory
          "${_varnok_sources_dir}/com/vornix/common/unix" "${_varnok_sources_dir}/META-INF"
  COMMAND "${CMAKE_COMMAND}" -E copy ${_varnok_java_sources}
          "${_varnok_sources_dir}/com/vornix/common/unix/"
  COMMAND "${CMAKE_COMMAND}" -E copy "${PROJECT_SOURCE_DIR}/java/module-info.java"
          "${_varnok_sources_dir}/"
  # The JDK 22 binding where the jar has it, as the jar has it.
  COMMAND "${CMAKE_COMMAND}" -E make_directory
          "${_varnok_sources_dir}/META-INF/versions/22/com/vornix/common/unix"
  COMMAND "${CMAKE_COMMAND}" -E copy ${VARNOK_JAVA22_SOURCES}
          "${_varnok_sources_dir}/META-INF/versions/22/com/vornix/common/unix/"
  COMMAND "${CMAKE_COMMAND}" -E copy "${PROJECT_SOURCE_DIR}/LICENSE"
          "${_varnok_sources_dir}/META-INF/"
  COMMAND "${Java_JAR_EXECUTABLE}" --create --file "${_varnok_maven_base}-sources.jar.part"
          -C "${_varnok_sources_dir}" .
  COMMAND "${CMAKE_COMMAND}" -E rename "${_varnok_maven_base}-sources.jar.part"
          "${_varnok_maven_base}-sources.jar"
  DEPENDS ${VARNOK_JAVADOC_SOURCES} ${VARNOK_JAVA22_SOURCES} "${PROJECT_SOURCE_DIR}/LICENSE"
  COMMENT "Building Varnok's sources jar"
  VERBATIM)

set(_varnok_maven_checksums)
foreach(_file IN LISTS _varnok_maven_files)
  list(APPEND _varnok_maven_checksums "${_file}.sha1" "${_file}.md5")
endforeach()
list(JOIN _varnok_maven_files "|" _varnok_maven_files_arg)
add_custom_command(
  OUTPUT "${_varnok_maven_base}.jar" ${_varnok_maven_checksums}
  COMMAND "${CMAKE_COMMAND}" -E copy "${VARNOK_JAR}" "${_varnok_maven_base}.jar"
  COMMAND "${CMAKE_COMMAND}" "-DFILES=${_varnok_maven_files_arg}"
          -P "${PROJECT_SOURCE_DIR}/cmake/write_checksums.cmake"
  DEPENDS varnok "${VARNOK_JAR}" "${_varnok_maven_base}.pom"
          "${_varnok_maven_base}-sources.jar" "${_varnok_maven_base}-javadoc.jar"
          "${PROJECT_SOURCE_DIR}/cmake/write_checksums.cmake"
  COMMENT "Laying out com.vornix:varnok:${PROJECT_VERSION} in maven-repo/"
  VERBATIM)
add_custom_target(varnok-maven ALL DEPENDS "${_varnok_maven_base}.jar" ${_varnok_maven_checksums})
install(FILES ${_varnok_maven_files} ${_varnok_maven_checksums}
  DESTINATION "${CMAKE_INSTALL_DATADIR}/maven-repo/${VARNOK_MAVEN_ENTRY}")
