# The class paths of java-deps/: the Maven Central libraries that the adapters,
# their tests and the benchmarks compile and run against. Maven resolves them
# (into its local repository, ~/.m2 unless its settings say otherwise) when
# the build is configured, and writes one class path per module of
# java-deps/pom.xml; Maven runs again only when a POM changes or a jar it named
# has gone. Nothing from there goes into varnok.jar.
#
#   varnok_java_classpath(<module> <out-var>)   a CMake list of jar paths

set(_varnok_java_deps_dir "${PROJECT_SOURCE_DIR}/java-deps")
set(_varnok_classpath_dir "${CMAKE_BINARY_DIR}/java-deps")

function(_varnok_resolve_java_dependencies)
  get_property(_done GLOBAL PROPERTY VARNOK_JAVA_DEPENDENCIES_RESOLVED)
  if(_done)
    return()
  endif()
  set_property(GLOBAL PROPERTY VARNOK_JAVA_DEPENDENCIES_RESOLVED TRUE)
  file(GLOB_RECURSE _poms CONFIGURE_DEPENDS "${_varnok_java_deps_dir}/*pom.xml")
  set_property(DIRECTORY "${PROJECT_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_poms})
  # Up to date when the stamp is newer than every POM and each jar still exists.
  set(_stamp "${_varnok_classpath_dir}/resolved.stamp")
  set(_fresh TRUE)
  foreach(_pom IN LISTS _poms)
    if(NOT EXISTS "${_stamp}" OR "${_pom}" IS_NEWER_THAN "${_stamp}")
      set(_fresh FALSE)
    endif()
  endforeach()
  if(_fresh)
    file(GLOB _files "${_varnok_classpath_dir}/*.classpath")
    foreach(_file IN LISTS _files)
      file(READ "${_file}" _path)
      string(STRIP "${_path}" _path)
      string(REPLACE ":" ";" _jars "${_path}")
      foreach(_jar IN LISTS _jars)
        if(NOT EXISTS "${_jar}")
          set(_fresh FALSE)
        endif()
      endforeach()
    endforeach()
  endif()
  if(_fresh)
    return()
  endif()
  find_program(VARNOK_MVN mvn)
  if(NOT VARNOK_MVN)
    message(FATAL_ERROR "The adapters and the JMH benchmarks need Maven (mvn) to fetch their "
      "libraries from Maven Central; install it, or configure with "
      "-DVARNOK_BUILD_ADAPTERS=OFF -DVARNOK_BUILD_BENCHMARKS=OFF")
  endif()
  message(STATUS "Resolving the Java libraries of java-deps/ with Maven")
  file(REMOVE_RECURSE "${_varnok_classpath_dir}")
  execute_process(
    COMMAND "${VARNOK_MVN}" -B -q -f "${_varnok_java_deps_dir}/pom.xml"
            "-Dvarnok.classpath.dir=${_varnok_classpath_dir}" dependency:build-classpath
    RESULT_VARIABLE _result OUTPUT_VARIABLE _output ERROR_VARIABLE _output)
  if(NOT _result EQUAL 0)
    message(FATAL_ERROR "Maven could not resolve the Java libraries of java-deps/ "
      "(it needs Maven Central, or those artifacts in its local repository):\n${_output}\n"
      "Configure with -DVARNOK_BUILD_ADAPTERS=OFF -DVARNOK_BUILD_BENCHMARKS=OFF to build without them.")
  endif()
  file(TOUCH "${_stamp}")
endfunction()

function(varnok_java_classpath module out)
  _varnok_resolve_java_dependencies()
  set(_file "${_varnok_classpath_dir}/${module}.classpath")
  if(NOT EXISTS "${_file}")
    message(FATAL_ERROR "java-deps/ has no module ${module} (no ${_file})")
  endif()
  file(READ "${_file}" _path)
  string(STRIP "${_path}" _path)
  string(REPLACE ":" ";" _jars "${_path}")
  set(${out} "${_jars}" PARENT_SCOPE)
endfunction()

# The libraries a module of java-deps/ names itself (not what they pull in),
# as a CMake list of groupId:artifactId:version, read from its POM, where
# each dependency is written on one line.
function(varnok_java_dependencies module out)
  file(STRINGS "${_varnok_java_deps_dir}/${module}/pom.xml" lines REGEX "<dependency>")
  set(coordinates)
  foreach(line IN LISTS lines)
    if(NOT line MATCHES "<groupId>([^<]+)</groupId><artifactId>([^<]+)</artifactId><version>([^<]+)</version>")
      message(FATAL_ERROR "java-deps/${module}/pom.xml: a dependency not on one line: ${line}")
    endif()
    list(APPEND coordinates "${CMAKE_MATCH_1}:${CMAKE_MATCH_2}:${CMAKE_MATCH_3}")
  endforeach()
  set(${out} "${coordinates}" PARENT_SCOPE)
endfunction()
