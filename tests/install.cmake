# The installed tree, as projects outside this one use it. install.tree
# installs the build into a fresh prefix outside both trees; the checks build
# against that prefix alone; install.cleanup removes it, unless a check
# failed (it then says where the files are).
set(_varnok_install_dir_file "${CMAKE_CURRENT_BINARY_DIR}/install-test-dir.txt")
set(_varnok_install_vars
  "-DDIR_FILE=${_varnok_install_dir_file}"
  "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
  "-DBUILD_DIR=${PROJECT_BINARY_DIR}"
  "-DLIBDIR=${CMAKE_INSTALL_LIBDIR}"
  "-DINCLUDEDIR=${CMAKE_INSTALL_INCLUDEDIR}"
  "-DCXX_COMPILER=${CMAKE_CXX_COMPILER}"
  "-DCONSUMER_DIR=${CMAKE_CURRENT_SOURCE_DIR}/consumer")

add_test(NAME install.tree
  COMMAND "${CMAKE_COMMAND}" ${_varnok_install_vars} -DSTEP=setup "-DCONFIG=$<CONFIG>"
          -P "${CMAKE_CURRENT_SOURCE_DIR}/install_tree.cmake")
add_test(NAME install.cleanup
  COMMAND "${CMAKE_COMMAND}" ${_varnok_install_vars} -DSTEP=cleanup
          -P "${CMAKE_CURRENT_SOURCE_DIR}/install_tree.cmake")

# The CMake package: configure, build and run tests/consumer with find_package.
add_test(NAME install.find_package
  COMMAND "${CMAKE_COMMAND}" ${_varnok_install_vars} "-DGENERATOR=${CMAKE_GENERATOR}"
          -P "${CMAKE_CURRENT_SOURCE_DIR}/install_consumer.cmake")

# varnok.pc: the consumer's program built with pkg-config's flags alone.
find_program(VARNOK_PKG_CONFIG pkg-config)
add_test(NAME install.pkg_config
  COMMAND "${CMAKE_COMMAND}" ${_varnok_install_vars}
          "-DPKG_CONFIG=${VARNOK_PKG_CONFIG}" "-DVERSION=${PROJECT_VERSION}"
          -P "${CMAKE_CURRENT_SOURCE_DIR}/install_pkg_config.cmake")
set_tests_properties(install.pkg_config PROPERTIES SKIP_REGULAR_EXPRESSION "(^|\n)skipped: ")

# com.vornix:varnok in the prefix's Maven repository: an outside Maven project
# built offline against it, both ways the README shows, and run.
find_program(VARNOK_MVN mvn)
set(_varnok_adapter_artifacts "")
foreach(_name IN LISTS VARNOK_ADAPTERS)
  list(APPEND _varnok_adapter_artifacts varnok-${_name})
endforeach()
list(JOIN _varnok_adapter_artifacts "|" _varnok_adapter_artifacts)
set(VARNOK_MAVEN_PLUGIN_REPO "/usr/share/maven-repo" CACHE PATH
  "A Maven repository holding Maven's plugins, for the offline Maven build of install.maven")
# Offline, Maven takes its own plugins from there: Debian's packages put them.
set(_varnok_missing "")
foreach(_plugin_package IN ITEMS compiler:libmaven-compiler-plugin-java
        resources:libmaven-resources-plugin-java jar:libmaven-jar-plugin-java
        surefire:libsurefire-java install:libmaven-install-plugin-java)
  string(REPLACE ":" ";" _plugin_package "${_plugin_package}")
  list(GET _plugin_package 0 _plugin)
  if(NOT IS_DIRECTORY "${VARNOK_MAVEN_PLUGIN_REPO}/org/apache/maven/plugins/maven-${_plugin}-plugin")
    list(GET _plugin_package 1 _package)
    list(APPEND _varnok_missing ${_package})
  endif()
endforeach()
if(NOT VARNOK_MVN)
  message(STATUS "Maven checks (install.maven, the pages' Maven blocks) skipped: "
                 "no mvn (Debian package maven)")
elseif(_varnok_missing)
  list(JOIN _varnok_missing " " _varnok_missing)
  message(STATUS "Maven checks (install.maven, the pages' Maven blocks) skipped: Maven's "
                 "plugins are not in ${VARNOK_MAVEN_PLUGIN_REPO} (Debian packages ${_varnok_missing})")
endif()
add_test(NAME install.maven
  COMMAND "${CMAKE_COMMAND}" ${_varnok_install_vars}
          "-DMVN=${VARNOK_MVN}" "-DJDK_HOME=${VARNOK_JDK_HOME}"
          "-DPLUGIN_REPO=${VARNOK_MAVEN_PLUGIN_REPO}" "-DDATADIR=${CMAKE_INSTALL_DATADIR}"
          "-DVERSION=${PROJECT_VERSION}" "-DCONSUMER_DIR=${CMAKE_CURRENT_SOURCE_DIR}/maven_consumer"
          "-DADAPTERS=${_varnok_adapter_artifacts}"
          -P "${CMAKE_CURRENT_SOURCE_DIR}/install_maven.cmake")
set_tests_properties(install.maven PROPERTIES
  SKIP_REGULAR_EXPRESSION "(^|\n)skipped: " TIMEOUT 300)

# Every header of the library's header set, as installed, compiled alone.
get_target_property(_varnok_headers varnok_jni HEADER_SET)
set(_varnok_installed_headers)
foreach(_header IN LISTS _varnok_headers)
  file(RELATIVE_PATH _header "${PROJECT_SOURCE_DIR}" "${_header}")
  list(APPEND _varnok_installed_headers "${_header}")
endforeach()
list(JOIN _varnok_installed_headers "|" _varnok_installed_headers)
add_test(NAME install.headers_alone
  COMMAND "${CMAKE_COMMAND}" ${_varnok_install_vars}
          "-DHEADERS=${_varnok_installed_headers}"
          "-DCXX_STANDARD=${CMAKE_CXX_STANDARD}"
          "-DWARNINGS=$<JOIN:$<TARGET_PROPERTY:varnok_warnings,INTERFACE_COMPILE_OPTIONS>, >"
          -P "${CMAKE_CURRENT_SOURCE_DIR}/install_headers.cmake")

set_tests_properties(install.tree PROPERTIES FIXTURES_SETUP varnok_installed)
set_tests_properties(install.cleanup PROPERTIES FIXTURES_CLEANUP varnok_installed)
set_tests_properties(install.find_package install.pkg_config install.headers_alone
  install.maven PROPERTIES FIXTURES_REQUIRED varnok_installed)
set_tests_properties(install.tree install.cleanup install.find_package
  install.pkg_config install.headers_alone install.maven PROPERTIES LABELS install)
