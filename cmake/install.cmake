# The library, its headers and a CMake package for native users in the same
# process as the JVM: find_package(varnok) gives varnok::varnok_jni.
include(CMakePackageConfigHelpers)
install(TARGETS varnok_jni EXPORT varnokTargets
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  FILE_SET HEADERS DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
set(VARNOK_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/varnok")
# The exported target keeps NO_SONAME as IMPORTED_NO_SONAME, so a consumer
# links it by -l name and records libvarnok_jni.so, not this install's path.
install(EXPORT varnokTargets
  NAMESPACE varnok::
  DESTINATION "${VARNOK_INSTALL_CMAKEDIR}")
configure_package_config_file(cmake/varnokConfig.cmake.in
  "${CMAKE_CURRENT_BINARY_DIR}/varnokConfig.cmake"
  INSTALL_DESTINATION "${VARNOK_INSTALL_CMAKEDIR}")
# Before 1.0 a minor release may change the interface.
write_basic_package_version_file(
  "${CMAKE_CURRENT_BINARY_DIR}/varnokConfigVersion.cmake"
  COMPATIBILITY SameMinorVersion)
install(FILES
  "${CMAKE_CURRENT_BINARY_DIR}/varnokConfig.cmake"
  "${CMAKE_CURRENT_BINARY_DIR}/varnokConfigVersion.cmake"
  DESTINATION "${VARNOK_INSTALL_CMAKEDIR}")

# The same for native users outside CMake: pkg-config --cflags --libs varnok.
# Its prefix is found from the file's own directory, so that the file stays
# right for an install with --prefix and for a moved tree (unless the
# directories were configured as absolute paths). -l by name, as above.
set(VARNOK_INSTALL_PKGCONFIGDIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
if(IS_ABSOLUTE "${VARNOK_INSTALL_PKGCONFIGDIR}")
  set(VARNOK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _varnok_up "/p/${VARNOK_INSTALL_PKGCONFIGDIR}" "/p")
  string(REGEX REPLACE "/$" "" _varnok_up "${_varnok_up}")
  set(VARNOK_PC_PREFIX "\${pcfiledir}/${_varnok_up}")
endif()
foreach(_dir IN ITEMS LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${_dir}}")
    set(VARNOK_PC_${_dir} "${CMAKE_INSTALL_${_dir}}")
  else()
    set(VARNOK_PC_${_dir} "\${prefix}/${CMAKE_INSTALL_${_dir}}")
  endif()
endforeach()
configure_file(cmake/varnok.pc.in "${CMAKE_CURRENT_BINARY_DIR}/varnok.pc" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/varnok.pc"
  DESTINATION "${VARNOK_INSTALL_PKGCONFIGDIR}")
