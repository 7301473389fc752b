# Test programs that put their own definitions of the library's exported
# functions in front of it: the library's own calls then reach them too.
# FILTER leaves cases out (under the emulator, those that are x86-64's
# alone); VARNOK_TEST_PREFIX names the aarch64 part's tests apart.
function(varnok_interposing_test name)
  cmake_parse_arguments(PARSE_ARGV 1 _arg "" "FILTER" "")
  add_executable(${name} ${_arg_UNPARSED_ARGUMENTS})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}")
  target_link_libraries(${name} PRIVATE varnok_warnings varnok_jni_headers
                        varnok_jni_by_name varnok-native-headers
                        GTest::gtest GTest::gtest_main
                        Threads::Threads ${CMAKE_DL_LIBS})
  # Export the test's definitions so the library's PLT resolves to them.
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  set(_discovery DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
  if(VARNOK_TEST_PREFIX)
    list(APPEND _discovery TEST_PREFIX ${VARNOK_TEST_PREFIX})
  endif()
  if(_arg_FILTER)
    list(APPEND _discovery TEST_FILTER "${_arg_FILTER}")
  endif()
  gtest_discover_tests(${name} ${_discovery})
endfunction()
