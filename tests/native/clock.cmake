# The native clock against a scripted counter, wall clock and kernel
# frequency correction.
varnok_interposing_test(clock_test "${CMAKE_CURRENT_LIST_DIR}/clock_test.cc"
  "${CMAKE_CURRENT_LIST_DIR}/clock_host_test.cc" "${CMAKE_CURRENT_LIST_DIR}/clock_fake.cc")
target_link_libraries(clock_test PRIVATE varnok_scripted_adjtimex)
