# Varnok's artifacts as entries of a Maven repository: each jar with its POM,
# a sources jar and a javadoc jar, each file with the SHA-1 and MD5 files that
# Maven checks a download against (without them every build that uses the
# entry warns). Built under build/maven-repo, so the build tree is itself a
# repository, and installed under <prefix>/share/maven-repo. There is no
# maven-metadata.xml: Maven needs none for a fixed version, and one written
# here would list only this version after two versions are installed into
# the same prefix.
#
#   varnok_maven_artifact(<artifactId>
#     JAR_TARGET <target>       a target with the JAR_FILE property: the jar
#     POM <template>            configured @ONLY into the entry's POM
#     TITLE <text>              the javadoc's title
#     SOURCE_ROOTS <dir>...     where the sources' package paths begin
#     SOURCES <file>...         the sources, for both the javadoc and the sources jar
#     [CLASSPATH <jar>...])     what the javadoc needs to resolve references
#
# makes the target <artifactId>-maven, part of ALL. Its properties
# VARNOK_JAVADOC_OPTIONS and VARNOK_JAVADOC_SOURCES hold the javadoc's command
# whole, so that a test can run it exactly as the build does.

# Every warning of doclint on. A warning does not fail the build (a newer
# JDK's doclint may know more checks than the one this was written against);
# the javadoc tests fail on it.
find_program(VARNOK_JAVADOC javadoc PATHS "${VARNOK_JDK_HOME}/bin" NO_DEFAULT_PATH REQUIRED)
set(VARNOK_JAVADOC_COMMAND "${VARNOK_JAVADOC}" -Xdoclint:all -quiet -notimestamp
  -encoding UTF-8 -docencoding UTF-8 -charset UTF-8)
set(VARNOK_MAVEN_REPO "${PROJECT_BINARY_DIR}/maven-repo")

# varnok_maven_source_copies(<out-var> <artifact> <dir> ROOTS <dir>... SOURCES <file>...)
# sets <out-var> to the commands that copy the sources into <dir> as an IDE
# expects them beside the jar: each under its path from its root (a module
# descriptor at the root itself).
function(varnok_maven_source_copies out artifact dir)
  cmake_parse_arguments(PARSE_ARGV 3 _arg "" "" "ROOTS;SOURCES")
  set(copies)
  foreach(source IN LISTS _arg_SOURCES)
    set(place "")
    foreach(root IN LISTS _arg_ROOTS)
      cmake_path(IS_PREFIX root "${source}" NORMALIZE under)
      if(under)
        cmake_path(RELATIVE_PATH source BASE_DIRECTORY "${root}" OUTPUT_VARIABLE place)
        cmake_path(GET place PARENT_PATH place)
        break()
      endif()
    endforeach()
    if(NOT under)
      message(FATAL_ERROR "${artifact}: ${source} is under none of ${_arg_ROOTS}")
    endif()
    list(APPEND copies
      COMMAND "${CMAKE_COMMAND}" -E make_directory "${dir}/${place}"
      COMMAND "${CMAKE_COMMAND}" -E copy "${source}" "${dir}/${place}/")
  endforeach()
  set(${out} ${copies} PARENT_SCOPE)
endfunction()

function(varnok_maven_artifact artifact)
  cmake_parse_arguments(PARSE_ARGV 1 _arg "" "JAR_TARGET;POM;TITLE"
                        "SOURCE_ROOTS;SOURCES;CLASSPATH")
  set(entry "com/vornix/${artifact}/${PROJECT_VERSION}")
  set(base "${VARNOK_MAVEN_REPO}/${entry}/${artifact}-${PROJECT_VERSION}")
  set(files "${base}.jar" "${base}.pom" "${base}-sources.jar" "${base}-javadoc.jar")
  set(work "${CMAKE_CURRENT_BINARY_DIR}/maven/${artifact}")
  get_target_property(jar ${_arg_JAR_TARGET} JAR_FILE)
  configure_file("${_arg_POM}" "${base}.pom" @ONLY)

  set(options ${VARNOK_JAVADOC_COMMAND} -doctitle "${_arg_TITLE}" -windowtitle "${_arg_TITLE}")
  if(_arg_CLASSPATH)
    list(JOIN _arg_CLASSPATH ":" classpath)
    list(APPEND options -classpath "${classpath}")
  endif()

  varnok_maven_source_copies(copies ${artifact} "${work}/sources"
    ROOTS ${_arg_SOURCE_ROOTS} SOURCES ${_arg_SOURCES})

  # Each jar is made aside and renamed, so that a failed step leaves no jar
  # that looks up to date. Every jar carries the licence as META-INF/LICENSE.
  add_custom_command(
    OUTPUT "${base}-javadoc.jar"
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${work}/javadoc"
    COMMAND ${options} -d "${work}/javadoc" ${_arg_SOURCES}
    COMMAND "${CMAKE_COMMAND}" -E copy "${PROJECT_SOURCE_DIR}/LICENSE"
            "${work}/javadoc/META-INF/LICENSE"
    COMMAND "${Java_JAR_EXECUTABLE}" --create --file "${base}-javadoc.jar.part"
            -C "${work}/javadoc" .
    COMMAND "${CMAKE_COMMAND}" -E rename "${base}-javadoc.jar.part" "${base}-javadoc.jar"
    DEPENDS ${_arg_SOURCES} ${_arg_CLASSPATH}
    COMMENT "Building the javadoc of ${artifact}"
    VERBATIM)
  add_custom_command(
    OUTPUT "${base}-sources.jar"
    COMMAND "${CMAKE_COMMAND}" -E rm -rf "${work}/sources"
    ${copies}
    COMMAND "${CMAKE_COMMAND}" -E copy "${PROJECT_SOURCE_DIR}/LICENSE"
            "${work}/sources/META-INF/LICENSE"
    COMMAND "${Java_JAR_EXECUTABLE}" --create --file "${base}-sources.jar.part"
            -C "${work}/sources" .
    COMMAND "${CMAKE_COMMAND}" -E rename "${base}-sources.jar.part" "${base}-sources.jar"
    DEPENDS ${_arg_SOURCES} "${PROJECT_SOURCE_DIR}/LICENSE"
    COMMENT "Building the sources jar of ${artifact}"
    VERBATIM)

  set(checksums)
  foreach(file IN LISTS files)
    list(APPEND checksums "${file}.sha1" "${file}.md5")
  endforeach()
  list(JOIN files "|" files_arg)
  add_custom_command(
    OUTPUT "${base}.jar" ${checksums}
    COMMAND "${CMAKE_COMMAND}" -E copy "${jar}" "${base}.jar"
    COMMAND "${CMAKE_COMMAND}" "-DFILES=${files_arg}"
            -P "${PROJECT_SOURCE_DIR}/cmake/write_checksums.cmake"
    DEPENDS ${_arg_JAR_TARGET} "${jar}" "${base}.pom" "${base}-sources.jar" "${base}-javadoc.jar"
            "${PROJECT_SOURCE_DIR}/cmake/write_checksums.cmake"
    COMMENT "Laying out com.vornix:${artifact}:${PROJECT_VERSION} in maven-repo/"
    VERBATIM)
  add_custom_target(${artifact}-maven ALL DEPENDS "${base}.jar" ${checksums})
  set_target_properties(${artifact}-maven PROPERTIES
    VARNOK_JAVADOC_OPTIONS "${options}" VARNOK_JAVADOC_SOURCES "${_arg_SOURCES}")
  install(FILES ${files} ${checksums}
    DESTINATION "${CMAKE_INSTALL_DATADIR}/maven-repo/${entry}")
endfunction()

# com.vornix:varnok itself: the sources of the package and the module
# descriptor, the configured VarnokBuild.java with them.
varnok_maven_artifact(varnok
  JAR_TARGET varnok
  POM "${PROJECT_SOURCE_DIR}/java/varnok.pom.in"
  TITLE "Varnok ${PROJECT_VERSION}"
  SOURCE_ROOTS "${PROJECT_SOURCE_DIR}/java" "${_varnok_generated_java}"
  SOURCES "${PROJECT_SOURCE_DIR}/java/module-info.java" ${_varnok_java_sources})
