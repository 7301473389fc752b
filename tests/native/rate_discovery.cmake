# Rate discovery and the rest of the timing base. The discovery cases fork a
# child into a private mount namespace to lay fixture files over the kernel's
# paths; they need root and skip themselves without it.
varnok_interposing_test(rate_discovery_test "${CMAKE_CURRENT_LIST_DIR}/rate_discovery_test.cc")
target_link_libraries(rate_discovery_test PRIVATE varnok_scripted_host)

# Label the namespace cases "mountns" so that runs which cannot host them
# (valgrind) can leave them out with -LE mountns. The test names exist only
# once discovery has run at ctest time, so the labels are set by a script
# that CTest includes after the discovery's own.
set(_rate_discovery_labels "${CMAKE_CURRENT_BINARY_DIR}/rate_discovery_labels.cmake")
file(WRITE "${_rate_discovery_labels}" [=[
set(_mountns_tests ${rate_discovery_test_TESTS})
list(FILTER _mountns_tests INCLUDE REGEX "^RateDiscovery\\.")
if(_mountns_tests)
  set_tests_properties(${_mountns_tests} PROPERTIES LABELS mountns)
endif()
]=])
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_rate_discovery_labels}")
