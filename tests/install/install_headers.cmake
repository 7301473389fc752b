# Compiles each installed public header (HEADERS, '|'-separated paths under
# the include directory) alone in a translation unit that has a global int64
# of its own, as many programs do: a header must bring everything it needs
# and declare nothing at global scope that could clash. Run by CTest as
# cmake -P with the variables of install_common.cmake and CXX_COMPILER,
# CXX_STANDARD, INCLUDEDIR and WARNINGS (space-separated) set.

include("${CMAKE_CURRENT_LIST_DIR}/install_common.cmake")
find_installed_tree()
string(REPLACE "|" ";" headers "${HEADERS}")
separate_arguments(warnings UNIX_COMMAND "${WARNINGS}")
set(failures "")

foreach(header IN LISTS headers)
  string(MAKE_C_IDENTIFIER "${header}" name)
  set(unit "${work}/headers/${name}.cc")
  file(WRITE "${unit}" "typedef long long int64;  // the program's own
#include \"${header}\"
// Still the program's: neither redeclared nor made ambiguous by the header.
int64* programs_int64 = static_cast<long long*>(nullptr);
")
  execute_process(
    COMMAND "${CXX_COMPILER}" -std=c++${CXX_STANDARD} ${warnings} -Werror
            -fsyntax-only "-I${prefix}/${INCLUDEDIR}" "${unit}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(rc EQUAL 0)
    message("ok: ${header}")
  else()
    message("${out}")
    list(APPEND failures "${header} does not compile alone beside a global int64")
  endif()
endforeach()
list(LENGTH headers count)
if(count EQUAL 0)
  list(APPEND failures "no headers to check")
endif()

fail_if_any("${failures}")
message("${count} installed headers compile alone beside a global int64")
