# Installs the build into a temporary prefix and builds and runs the consumer
# project against that prefix alone. Run by CTest as cmake -P with BUILD_DIR,
# SOURCE_DIR, CONSUMER_DIR, GENERATOR, CXX_COMPILER and CONFIG set.

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE out)
  message("${out}")
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " cmd)
    message(FATAL_ERROR "failed (${rc}): ${cmd}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

# Outside both trees, so that no path into them can be mistaken for one into
# the prefix.
execute_process(COMMAND mktemp -d /tmp/varnok-install-test.XXXXXX
                OUTPUT_VARIABLE work OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
set(prefix "${work}/prefix")
set(consumer_src "${work}/consumer")
set(consumer_build "${work}/build")

run("${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" --config "${CONFIG}")
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
foreach(tree IN ITEMS "${SOURCE_DIR}" "${BUILD_DIR}")
  string(FIND "${commands}" "${tree}" at)
  if(NOT at EQUAL -1)
    list(APPEND failures "the consumer's build commands name ${tree}")
  endif()
endforeach()

# The consumer records the library by name: it has no SONAME, so linking it
# by path would record the path.
execute_process(COMMAND readelf -d "${consumer_build}/varnok_consumer"
                OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" needed "${dynamic}")
message("consumer's NEEDED entries: ${needed}")
if(NOT needed MATCHES "\\[libvarnok_jni\\.so\\]")
  list(APPEND failures "the consumer does not need libvarnok_jni.so by name")
endif()
if(needed MATCHES "/[^]]*libvarnok_jni")
  list(APPEND failures "the consumer records libvarnok_jni by path")
endif()

# It runs, with the installed library found through its run path, and
# checks the clock and detection; it reports which file it loaded.
execute_process(COMMAND "${CMAKE_COMMAND}" -E env --unset=LD_LIBRARY_PATH
                        --unset=RUNNING_ON_VALGRIND
                        "${consumer_build}/varnok_consumer"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
message("${out}")
if(NOT rc EQUAL 0)
  list(APPEND failures "the consumer failed (${rc})")
endif()
file(REAL_PATH "${prefix}/lib/libvarnok_jni.so" installed)
if(NOT out MATCHES "library: ([^\n]*)")
  list(APPEND failures "the consumer did not say which library it loaded")
else()
  file(REAL_PATH "${CMAKE_MATCH_1}" loaded)
  if(NOT loaded STREQUAL installed)
    list(APPEND failures "the consumer loaded ${loaded}, not ${installed}")
  endif()
endif()

if(failures)
  list(JOIN failures "\n  " text)
  message(FATAL_ERROR "FAIL (files kept in ${work}):\n  ${text}")
endif()
file(REMOVE_RECURSE "${work}")
message("installed package works from ${prefix}")
