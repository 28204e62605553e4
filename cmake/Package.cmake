# Debian packages made by `cpack -G DEB` (scripts/package), one per install component:
#   libzvnet0     the run-time libraries (libzvnet.so.0, libzvxlog.so)
#   libzvnet-dev  headers, the link name, the CMake package and zvnet.pc
#   zvnet         the command and whatever else cli/ installs (its manual page)
# Their dependencies on system libraries come from the binaries (dpkg-shlibdeps): libglib2.0-0
# among them when GIO was found.
set(CPACK_PACKAGE_NAME zvnet)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR zvnet)
set(CPACK_PACKAGE_CONTACT "zvnet developers <zvnet@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Asynchronous HTTP, framed UDP and network-change notification with per-thread delivery")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_GENERATOR DEB)

set(CPACK_COMPONENTS_ALL libs dev command)
set(CPACK_COMPONENT_DEV_DEPENDS libs)
set(CPACK_COMPONENT_COMMAND_DEPENDS libs)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The command needs libzvnet.so.0 from this build, which no installed package provides yet;
# the dependency on it comes from the component dependency below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/${CMAKE_INSTALL_LIBDIR}
  ${PROJECT_BINARY_DIR}/xlog)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_LIBS_PACKAGE_NAME libzvnet${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIBS_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBS_PACKAGE_GENERATE_SHLIBS ON)
# Proxy type 3 follows the desktop's settings through GIO's modules (glib-networking) and
# GNOME's schemas; without them it reads the environment.
if(GIO_FOUND)
  set(CPACK_DEBIAN_LIBS_PACKAGE_RECOMMENDS "glib-networking, gsettings-desktop-schemas")
endif()
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzvnet-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_COMMAND_PACKAGE_NAME zvnet)
set(CPACK_DEBIAN_COMMAND_PACKAGE_SECTION net)

include(CPack)
