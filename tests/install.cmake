# The installed package, as a project outside this tree uses it: install into
# a fresh prefix, then configure, build and run tests/consumer against it.
add_test(NAME install.find_package
  COMMAND "${CMAKE_COMMAND}"
          "-DBUILD_DIR=${PROJECT_BINARY_DIR}"
          "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
          "-DCONSUMER_DIR=${CMAKE_CURRENT_SOURCE_DIR}/consumer"
          "-DGENERATOR=${CMAKE_GENERATOR}"
          "-DCXX_COMPILER=${CMAKE_CXX_COMPILER}"
          "-DCONFIG=$<CONFIG>"
          -P "${CMAKE_CURRENT_SOURCE_DIR}/install_consumer.cmake")
