# Builds tests/install/consumer/main.cc against the installed tree alone with the
# flags of pkg-config --cflags --libs varnok, as the README shows, and runs
# it. Run by CTest as cmake -P with the variables of install_common.cmake and
# CONSUMER_DIR, CXX_COMPILER, PKG_CONFIG and VERSION set.

include("${CMAKE_CURRENT_LIST_DIR}/install_common.cmake")
if(NOT PKG_CONFIG)
  # The skip report picks this line up; the test's SKIP_REGULAR_EXPRESSION
  # makes CTest count it as skipped.
  message("skipped: pkg-config was not found when the build was configured")
  return()
endif()
find_installed_tree()

# Only the prefix's pkgconfig directory is searched, so no varnok.pc
# installed elsewhere on the machine can stand in for it.
set(ENV{PKG_CONFIG_LIBDIR} "${prefix}/${LIBDIR}/pkgconfig")
unset(ENV{PKG_CONFIG_PATH})
set(failures "")

run("${PKG_CONFIG}" --modversion varnok)
string(STRIP "${output}" version)
if(NOT version STREQUAL VERSION)
  list(APPEND failures "pkg-config says version ${version}, not ${VERSION}")
endif()
run("${PKG_CONFIG}" --cflags --libs varnok)
string(STRIP "${output}" flags)
run("${PKG_CONFIG}" --variable=libdir varnok)
string(STRIP "${output}" libdir)
check_names_neither_tree("${flags} ${libdir}" "the pkg-config flags")

file(COPY "${CONSUMER_DIR}/main.cc" DESTINATION "${work}/pkg-config-consumer")
separate_arguments(flags UNIX_COMMAND "${flags}")
set(program "${work}/pkg-config-consumer/varnok_consumer")
run("${CXX_COMPILER}" -o "${program}" "${work}/pkg-config-consumer/main.cc"
    ${flags} "-Wl,-rpath,${libdir}" -ldl)
check_consumer_program("${program}")

fail_if_any("${failures}")
message("pkg-config gives working flags from ${prefix}")
