# Library, logging library, public headers, the CMake package and the pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS zvnet EXPORT zvnetTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS zvxlog EXPORT zvnetTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY include/zvnet DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES xlog/zvxlog.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zvnet)

install(EXPORT zvnetTargets NAMESPACE zvnet:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zvnet)
configure_package_config_file(cmake/zvnetConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/zvnetConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zvnet)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zvnetConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zvnetConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/zvnetConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zvnet)

configure_file(cmake/zvnet.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zvnet.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zvnet.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
