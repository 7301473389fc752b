# Builds the consumer project (CONSUMER_DIR) against the installed tree alone,
# with find_package, and runs it. Run by CTest as cmake -P with the variables
# of install_common.cmake and CONSUMER_DIR, GENERATOR and CXX_COMPILER set.

include("${CMAKE_CURRENT_LIST_DIR}/install_common.cmake")
find_installed_tree()
set(consumer_src "${work}/cmake-consumer")
set(consumer_build "${work}/cmake-consumer-build")

# A copy of the consumer, so that no include path relative to it can reach
# this source tree.
file(COPY "${CONSUMER_DIR}/" DESTINATION "${consumer_src}")

run("${CMAKE_COMMAND}" -S "${consumer_src}" -B "${consumer_build}" -G "${GENERATOR}"
    "-DCMAKE_CXX_COMPILER=${CXX_COMPILER}"
    "-DCMAKE_PREFIX_PATH=${prefix}"
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
    -DCMAKE_BUILD_TYPE=Release)
run("${CMAKE_COMMAND}" --build "${consumer_build}")

set(failures "")

# The package came from the prefix.
file(STRINGS "${consumer_build}/CMakeCache.txt" varnok_dir REGEX "^varnok_DIR:")
if(NOT varnok_dir MATCHES ":PATH=${prefix}/lib/cmake/varnok$")
  list(APPEND failures "find_package(varnok) found ${varnok_dir}, not the prefix's")
endif()

# No compile or link command names this source tree or its build tree.
file(READ "${consumer_build}/compile_commands.json" commands)
file(GLOB_RECURSE link_files "${consumer_build}/CMakeFiles/*/link.txt")
foreach(f IN LISTS link_files)
  file(READ "${f}" link)
  string(APPEND commands "${link}")
endforeach()
check_names_neither_tree("${commands}" "the consumer's build commands")

# The library is found through the run path CMake gives the program.
check_consumer_program("${consumer_build}/varnok_consumer")

fail_if_any("${failures}")
message("the installed CMake package works from ${prefix}")
