# The C++ runtime's static initialisation, linked the way the library links
# it (the library's own static local cannot be held open from outside).
add_executable(static_init_test "${CMAKE_CURRENT_LIST_DIR}/static_init_test.cc" ${VARNOK_RUNTIME_SOURCES})
target_link_options(static_init_test PRIVATE ${VARNOK_RUNTIME_LINK_OPTIONS})
target_link_libraries(static_init_test PRIVATE varnok_warnings Threads::Threads)
# The aarch64 part names its tests aarch64.*.
add_test(NAME ${VARNOK_TEST_PREFIX}static_init.concurrent_first_use
  COMMAND static_init_test concurrent)
add_test(NAME ${VARNOK_TEST_PREFIX}static_init.throw_aborts COMMAND static_init_test throw)
