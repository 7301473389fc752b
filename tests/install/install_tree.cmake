# STEP=setup installs the build (BUILD_DIR, CONFIG) into a fresh prefix and
# writes the path of its work directory to DIR_FILE for the checks;
# STEP=cleanup removes it again, unless a check asked to keep it.

if(STEP STREQUAL "setup")
  # Outside both trees, so that no path into them can be mistaken for one
  # into the prefix.
  execute_process(COMMAND mktemp -d /tmp/varnok-install-test.XXXXXX
                  OUTPUT_VARIABLE work OUTPUT_STRIP_TRAILING_WHITESPACE
                  COMMAND_ERROR_IS_FATAL ANY)
  file(WRITE "${DIR_FILE}" "${work}")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${work}/prefix"
            --config "${CONFIG}"
    COMMAND_ECHO STDOUT COMMAND_ERROR_IS_FATAL ANY)
elseif(STEP STREQUAL "cleanup")
  if(EXISTS "${DIR_FILE}")
    file(READ "${DIR_FILE}" work)
    file(REMOVE "${DIR_FILE}")
    if(EXISTS "${work}/keep")
      message("a check failed: its files are kept in ${work}")
    else()
      file(REMOVE_RECURSE "${work}")
    endif()
  endif()
else()
  message(FATAL_ERROR "STEP must be setup or cleanup, not '${STEP}'")
endif()
