# Runs varnok_accuracy for one second and checks that it succeeded and that
# its CSV has a header and well-formed rows. Nothing here depends on how
# accurate the clock is.

foreach(var PROGRAM CSV)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "accuracy_smoke.cmake needs -D${var}=...")
  endif()
endforeach()

file(REMOVE "${CSV}")
execute_process(
  COMMAND "${PROGRAM}" --seconds 1 --csv "${CSV}" --no-png
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors)
message("${output}${errors}")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "varnok_accuracy exited with '${result}'")
endif()
foreach(section "== Counter rate" "== Epoch clock minus CLOCK_REALTIME"
                "== Steps at cycle-epoch boundaries" "== Granularity"
                "== Relative clock against CLOCK_MONOTONIC")
  string(FIND "${output}" "${section}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "the report has no '${section}' section")
  endif()
endforeach()

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
