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

# varnok_resolve_java_dependencies(<out-var>): resolves them once, and sets
# <out-var> to why they cannot be had (with the Debian package that brings
# what is missing), or to nothing when every class path is there. The parts
# that need them are skipped, or fail, on that answer (optional_parts.cmake).
function(varnok_resolve_java_dependencies out)
  get_property(_done GLOBAL PROPERTY VARNOK_JAVA_DEPENDENCIES_RESOLVED)
  if(_done)
    get_property(_missing GLOBAL PROPERTY VARNOK_JAVA_DEPENDENCIES_MISSING)
    set(${out} "${_missing}" PARENT_SCOPE)
    return()
  endif()
  set_property(GLOBAL PROPERTY VARNOK_JAVA_DEPENDENCIES_RESOLVED TRUE)
  set_property(GLOBAL PROPERTY VARNOK_JAVA_DEPENDENCIES_MISSING "")
  set(${out} "" PARENT_SCOPE)
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
  set(_missing "")
  if(NOT VARNOK_MVN)
    set(_missing "no mvn to fetch their libraries from Maven Central (Debian package maven)")
  else()
    message(STATUS "Resolving the Java libraries of java-deps/ with Maven")
    file(REMOVE_RECURSE "${_varnok_classpath_dir}")
    file(MAKE_DIRECTORY "${_varnok_classpath_dir}")
    set(_log "${_varnok_classpath_dir}/maven.log")
    execute_process(
      COMMAND "${VARNOK_MVN}" -B -q -f "${_varnok_java_deps_dir}/pom.xml"
              "-Dvarnok.classpath.dir=${_varnok_classpath_dir}" dependency:build-classpath
      RESULT_VARIABLE _result OUTPUT_FILE "${_log}" ERROR_FILE "${_log}")
    if(_result EQUAL 0)
      file(TOUCH "${_stamp}")
    else()
      set(_missing "Maven could not fetch their libraries from Maven Central, nor find "
                   "them in its local repository (see ${_log})")
      string(CONCAT _missing ${_missing})
    endif()
  endif()
  set_property(GLOBAL PROPERTY VARNOK_JAVA_DEPENDENCIES_MISSING "${_missing}")
  set(${out} "${_missing}" PARENT_SCOPE)
endfunction()

function(varnok_java_classpath module out)
  varnok_resolve_java_dependencies(_missing)
  if(_missing)
    message(FATAL_ERROR "The class path of java-deps/${module} is needed, but ${_missing}")
  endif()
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
