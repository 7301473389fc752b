# What the library needs and exports, and how it calls itself. A sanitizer
# build needs its runtime and exports its hooks, so only the release binary
# is held to this (tests/CMakeLists.txt includes this file only then).
add_test(NAME elf_contract
  COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/check_elf_contract.sh"
          "$<TARGET_FILE:varnok_jni>"
          "${CMAKE_CURRENT_LIST_DIR}/expected_dynamic_symbols.txt")
# The newest glibc the library may require.
add_test(NAME glibc_ceiling
  COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/check_glibc_ceiling.sh"
          "$<TARGET_FILE:varnok_jni>"
          "${CMAKE_CURRENT_LIST_DIR}/glibc_ceiling.txt")
