# Library, logging library, public headers, the CMake package and the pkg-config file, in
# three install components that become the Debian packages (cmake/Package.cmake): "libs" (the
# run-time libraries), "dev" (headers, link names, CMake and pkg-config files) and "command"
# (everything cli/ installs).
include(CMakePackageConfigHelpers)

install(TARGETS zvnet EXPORT zvnetTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libs NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT libs
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS zvxlog EXPORT zvnetTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libs)
install(DIRECTORY include/zvnet DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES xlog/zvxlog.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zvnet COMPONENT dev)

install(EXPORT zvnetTargets NAMESPACE zvnet:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zvnet
  COMPONENT dev)
configure_package_config_file(cmake/zvnetConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/zvnetConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zvnet)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zvnetConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zvnetConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/zvnetConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zvnet COMPONENT dev)

# The .pc file finds the prefix from where it lies, so the tree can be installed or moved
# anywhere: ${pcfiledir} is LIBDIR/pkgconfig, as many levels below the prefix as that has.
file(RELATIVE_PATH ZVNET_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" ZVNET_PC_TO_PREFIX "${ZVNET_PC_TO_PREFIX}")
configure_file(cmake/zvnet.pc.in ${CMAKE_CURRENT_BINARY_DIR}/zvnet.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zvnet.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)
