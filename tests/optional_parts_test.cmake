# The choices of an optional part's option (cmake/optional_parts.cmake), each
# case a fresh configure of a project that has one part: whether it lacks
# something, and what configure must then do: build it, skip it with exactly
# one line naming what is missing, or stop. Run by CTest as
#   cmake -DSOURCE_DIR=<tree> -DWORK=<dir> -P optional_parts_test.cmake
cmake_policy(VERSION 3.25)

file(REMOVE_RECURSE "${WORK}")
file(WRITE "${WORK}/src/CMakeLists.txt" "
cmake_minimum_required(VERSION 3.25)
project(parts NONE)
include(\"${SOURCE_DIR}/cmake/optional_parts.cmake\")
varnok_part_option(THING \"A part\")
varnok_part(THING built \"Thing\" \"\${MISSING}\")
message(STATUS \"built=\${built}\")
")

set(lacks "no libthing (Debian package libthing-dev)")
# option given ("-" for none) | what the part lacks | exit status | the
# configure line, or the error's words | built
set(cases
  "-||0||ON"
  "-|${lacks}|0|-- Thing skipped: no libthing \\(Debian package libthing-dev\\)|OFF"
  "AUTO|${lacks}|0|-- Thing skipped: no libthing \\(Debian package libthing-dev\\)|OFF"
  "auto||0||ON"
  "ON||0||ON"
  "ON|${lacks}|1|VARNOK_BUILD_THING is ON, but no libthing \\(Debian package libthing-dev\\)|"
  "YES|${lacks}|1|VARNOK_BUILD_THING is YES, but no libthing|"
  "OFF||0|-- Thing skipped: VARNOK_BUILD_THING is OFF|OFF"
  "OFF|${lacks}|0|-- Thing skipped: VARNOK_BUILD_THING is OFF|OFF")

set(failures "")
set(n 0)
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" fields "${case}")
  list(GET fields 0 choice)
  list(GET fields 1 missing)
  list(GET fields 2 status)
  list(GET fields 3 words)
  list(GET fields 4 built)
  math(EXPR n "${n} + 1")
  set(args "-DMISSING=${missing}")
  if(NOT choice STREQUAL "-")
    list(APPEND args "-DVARNOK_BUILD_THING=${choice}")
  endif()
  execute_process(COMMAND "${CMAKE_COMMAND}" -S "${WORK}/src" -B "${WORK}/build-${n}" ${args}
    RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  string(REGEX REPLACE "[\n ]+" " " flat "${out}")
  string(REGEX MATCHALL "skipped:" skips "${out}")
  list(LENGTH skips skips)
  set(expected_skips 0)
  if(built STREQUAL "OFF")
    set(expected_skips 1)
  endif()
  set(why "")
  if((status EQUAL 0 AND NOT result EQUAL 0) OR (NOT status EQUAL 0 AND result EQUAL 0))
    set(why "exit status ${result}")
  elseif(words AND NOT flat MATCHES "${words}")
    set(why "no '${words}'")
  elseif(status EQUAL 0 AND NOT out MATCHES "built=${built}\n")
    set(why "not built=${built}")
  elseif(status EQUAL 0 AND NOT skips EQUAL expected_skips)
    set(why "${skips} skip lines, not ${expected_skips}")
  endif()
  if(why)
    string(APPEND failures "  option '${choice}', lacking '${missing}': ${why}\n${out}\n")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "optional parts:\n${failures}")
endif()
message("optional parts: ${n} cases as expected")
