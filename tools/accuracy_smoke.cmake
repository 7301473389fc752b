# Runs varnok_accuracy in an empty working directory, briefly with no output
# options and then for a second with a CSV, and checks that it succeeded,
# that its report has every section, that its CSV has a header and
# well-formed rows, and that it wrote nothing it was not asked to. Nothing
# here depends on how accurate the clock is.

foreach(var PROGRAM CSV WORKDIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "accuracy_smoke.cmake needs -D${var}=...")
  endif()
endforeach()

file(REMOVE "${CSV}")
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}")
execute_process(
  COMMAND "${PROGRAM}" --seconds 0.1
  WORKING_DIRECTORY "${WORKDIR}"
  RESULT_VARIABLE result
  OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "varnok_accuracy --seconds 0.1 exited with '${result}'")
endif()
execute_process(
  COMMAND "${PROGRAM}" --seconds 1 --csv "${CSV}"
  WORKING_DIRECTORY "${WORKDIR}"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors)
message("${output}${errors}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "varnok_accuracy exited with '${result}'")
endif()
foreach(section "== Counter rate" "rate path: " "== Epoch clock minus CLOCK_REALTIME"
                "== Steps at cycle-epoch boundaries" "== Granularity"
                "== Relative clock against CLOCK_MONOTONIC" "\nsummary: path=")
  string(FIND "${output}" "${section}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the report has no '${section}'")
  endif()
endforeach()
file(GLOB left "${WORKDIR}/*")
if(left)
  message(FATAL_ERROR "files written without being asked for: ${left}")
endif()

if(NOT EXISTS "${CSV}")
  message(FATAL_ERROR "no CSV at ${CSV}")
endif()
file(STRINGS "${CSV}" lines LIMIT_COUNT 100)
list(LENGTH lines count)
if(count LESS 2)
  message(FATAL_ERROR "the CSV has no rows")
endif()
list(GET lines 0 header)
if(NOT header STREQUAL "seconds_since_start,epoch_ns,error_ns,bracket_ns,wide,drift_s,cycle_epoch,relative_minus_monotonic_ns,monotonic_bracket_ns")
  message(FATAL_ERROR "unexpected CSV header: ${header}")
endif()
list(REMOVE_AT lines 0)
set(number "-?[0-9]+(\\.[0-9]+)?([eE][-+]?[0-9]+)?")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^${number},[0-9]+,${number},[0-9]+,[01],${number},[0-9]+,${number},[0-9]+$")
    message(FATAL_ERROR "malformed CSV row: ${line}")
  endif()
endforeach()
message("CSV ${CSV}: header and ${count} rows checked")
