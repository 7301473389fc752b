# What the checks of the installed tree share. Included by the scripts that
# CTest runs as cmake -P with DIR_FILE (where install_tree.cmake wrote the
# path of its work directory) and SOURCE_DIR and BUILD_DIR set.

# Runs a command; its output is printed and kept in `output`.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc
                  OUTPUT_VARIABLE out ERROR_VARIABLE out)
  message("${out}")
  if(NOT rc EQUAL 0)
    list(JOIN ARGN " " cmd)
    fail_now("failed (${rc}): ${cmd}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

# The work directory of this run's install: `work`, and `prefix` inside it.
macro(find_installed_tree)
  if(NOT EXISTS "${DIR_FILE}")
    message(FATAL_ERROR "no installed tree: ${DIR_FILE} is missing (install.tree failed?)")
  endif()
  file(READ "${DIR_FILE}" work)
  set(prefix "${work}/prefix")
endmacro()

# Marks the work directory to be kept for a look, and stops.
function(fail_now text)
  if(DEFINED work)
    file(TOUCH "${work}/keep")
    string(APPEND text "\n(files kept in ${work})")
  endif()
  message(FATAL_ERROR "FAIL: ${text}")
endfunction()

function(fail_if_any failures)
  if(failures)
    list(JOIN failures "\n  " text)
    fail_now("\n  ${text}")
  endif()
endfunction()

# Appends to `failures` every mention of this source tree or its build tree
# in `text`: what is built against the prefix must not reach either.
function(check_names_neither_tree text what)
  foreach(tree IN ITEMS "${SOURCE_DIR}" "${BUILD_DIR}")
    string(FIND "${text}" "${tree}" at)
    if(NOT at EQUAL -1)
      list(APPEND failures "${what} name ${tree}")
    endif()
  endforeach()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

# Checks a program built against the prefix (tests/install/consumer/main.cc): it
# records libvarnok_jni.so by name (with no SONAME, linking by path would
# record the path), and it runs, with nothing in the environment to find the
# library by, and loads the prefix's copy. Appends to `failures`.
function(check_consumer_program program)
  execute_process(COMMAND readelf -d "${program}"
                  OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" needed "${dynamic}")
  message("NEEDED entries: ${needed}")
  if(NOT needed MATCHES "\\[libvarnok_jni\\.so\\]")
    list(APPEND failures "${program} does not need libvarnok_jni.so by name")
  endif()
  if(needed MATCHES "/[^]]*libvarnok_jni")
    list(APPEND failures "${program} records libvarnok_jni by path")
  endif()

  execute_process(COMMAND "${CMAKE_COMMAND}" -E env --unset=LD_LIBRARY_PATH
                          --unset=RUNNING_ON_VALGRIND "${program}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  message("${out}")
  if(NOT rc EQUAL 0)
    list(APPEND failures "${program} failed (${rc})")
  endif()
  file(REAL_PATH "${prefix}/${LIBDIR}/libvarnok_jni.so" installed)
  if(NOT out MATCHES "library: ([^\n]*)")
    list(APPEND failures "${program} did not say which library it loaded")
  else()
    file(REAL_PATH "${CMAKE_MATCH_1}" loaded)
    if(NOT loaded STREQUAL installed)
      list(APPEND failures "${program} loaded ${loaded}, not ${installed}")
    endif()
  endif()
  set(failures "${failures}" PARENT_SCOPE)
endfunction()
