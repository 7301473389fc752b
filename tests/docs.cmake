# The code blocks of README.md and docs/*.md, tested as a reader would use
# them (tests/doc_snippets.py says how each kind is taken): one test per
# page, against this build's jar and the installed tree of install.tree.
find_program(VARNOK_PYTHON3 python3)
if(NOT VARNOK_PYTHON3)
  message(STATUS "Docs tests skipped: no python3 (Debian package python3)")
  return()
endif()
# C blocks are compiled as a reader would, with the system's C compiler;
# Java blocks compile against VARNOK_DOCS_CLASSPATH.
find_program(VARNOK_CC cc)
set(VARNOK_DOCS_CLASSPATH "${VARNOK_JAR}")
# The adapters' pages compile against each adapter and its framework.
if(VARNOK_BUILD_ADAPTERS)
  foreach(_framework log4j2 opentelemetry micrometer agrona)
    varnok_java_classpath(${_framework} _jars)
    list(APPEND VARNOK_DOCS_CLASSPATH
      "$<TARGET_PROPERTY:varnok-${_framework},JAR_FILE>" ${_jars})
  endforeach()
endif()
file(GLOB _varnok_doc_pages CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/docs/*.md")
foreach(_page IN ITEMS "${PROJECT_SOURCE_DIR}/README.md" ${_varnok_doc_pages})
  get_filename_component(_name "${_page}" NAME_WE)
  add_test(NAME docs.${_name}
    COMMAND "${VARNOK_PYTHON3}" "${CMAKE_CURRENT_SOURCE_DIR}/doc_snippets.py" "${_page}"
            --source-dir "${PROJECT_SOURCE_DIR}" --build-dir "${PROJECT_BINARY_DIR}"
            --dir-file "${_varnok_install_dir_file}" --jdk "${VARNOK_JDK_HOME}" --newer-jdk "${VARNOK_NEWER_JDK}"
            --cxx "${CMAKE_CXX_COMPILER}" --cc "${VARNOK_CC}"
            --generator "${CMAKE_GENERATOR}" --mvn "${VARNOK_MVN}"
            --plugin-repo "${VARNOK_MAVEN_PLUGIN_REPO}"
            --libdir "${CMAKE_INSTALL_LIBDIR}" --datadir "${CMAKE_INSTALL_DATADIR}"
            --classpath "$<JOIN:${VARNOK_DOCS_CLASSPATH},:>")
  set_tests_properties(docs.${_name} PROPERTIES LABELS docs TIMEOUT 600
    FIXTURES_REQUIRED varnok_installed)
endforeach()
