# The test doubles the native tests and the fuzzer share.
# The kernel's rate files served from memory, and a host whose counter runs
# at a scripted rate against a virtual raw clock: for the discovery and
# fault tests and the fuzzer.
if(VARNOK_BUILD_TESTS OR VARNOK_BUILD_FUZZERS)
  foreach(_part fake_system_files scripted_host)
    add_library(varnok_${_part} STATIC "${CMAKE_CURRENT_LIST_DIR}/${_part}.cc")
    target_include_directories(varnok_${_part} PUBLIC "${PROJECT_SOURCE_DIR}")
    target_link_libraries(varnok_${_part} PRIVATE varnok_warnings ${CMAKE_DL_LIBS})
  endforeach()
  # The kernel's frequency correction, undisciplined unless scripted. Its
  # objects go into every program that links it, which then defines
  # adjtimex whether or not the program itself calls into the unit.
  add_library(varnok_scripted_adjtimex OBJECT "${CMAKE_CURRENT_LIST_DIR}/scripted_adjtimex.cc")
  target_include_directories(varnok_scripted_adjtimex PUBLIC "${PROJECT_SOURCE_DIR}")
  target_link_libraries(varnok_scripted_adjtimex PRIVATE varnok_warnings)
endif()
