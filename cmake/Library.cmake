# The library's targets, alike on Linux and Windows. The including file first sets
# ZVNET_SYSTEM_LIBS (the system's libraries the library calls), and adds its own settings to
# the targets afterwards. File names pick the platform (cmake/PlatformSources.cmake).

# The logging library: a separate component that hosts load; zvnet only binds to it when loaded.
add_subdirectory(xlog)

# Pure pieces, without threads or state, that the library and tools/ both build on: UTF-8
# conversion, Base64, the datagram format, the report cipher and SYSTEMTIME from a time.
add_library(zvnet_pure STATIC)
zvnet_platform_sources(zvnet_pure
  frame/Base64.cpp
  http/report/CdnReportBlocks_linux.cpp
  http/report/CdnReportBlocks_win.cpp
  http/report/CdnReportCipher.cpp
  platform/win32/StringConv_linux.cpp
  platform/win32/StringConv_win.cpp
  platform/win32/SystemTime.cpp
  udp/UdpDatagram.cpp)
target_include_directories(zvnet_pure PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)

# Everything else of zvnet goes into one static core, so tests can reach the internal classes;
# the shared library re-exports only the public namespaces.
add_library(zvnet_core STATIC)
target_include_directories(zvnet_core PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)
target_link_libraries(zvnet_core PUBLIC zvnet_pure ${ZVNET_SYSTEM_LIBS})

add_subdirectory(platform)
add_subdirectory(frame)
add_subdirectory(http)
add_subdirectory(udp)
add_subdirectory(netstatus)

add_library(zvnet SHARED platform/empty.cpp)
target_link_libraries(zvnet PRIVATE -Wl,--whole-archive zvnet_core -Wl,--no-whole-archive
  ${ZVNET_SYSTEM_LIBS})
target_include_directories(zvnet PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
add_library(zvnet::zvnet ALIAS zvnet)
