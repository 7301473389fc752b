# Each choice of an optional part's option, with and without what the part needs.
add_test(NAME build.optional_parts
  COMMAND "${CMAKE_COMMAND}" "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
          "-DWORK=${CMAKE_CURRENT_BINARY_DIR}/optional-parts"
          -P "${CMAKE_CURRENT_LIST_DIR}/optional_parts_test.cmake")
set_tests_properties(build.optional_parts PROPERTIES LABELS build)
