# The export-level tests of the Windows build (the tests named *_win.cpp beside the others), run under wine64 by scripts/test-windows against
# the scripted UDP server (ZVNET_UDP_SERVER=host:port) and HTTP test servers (ZVNET_HTTP_SERVER,
# ZVNET_HTTP_OTHER) on the Linux side of loopback. The UDP cases are the Linux ones that need
# only the exports (tests/udp/UdpOutcomeTest.cpp).
# GoogleTest is built from Debian's sources with the same toolchain.
set(ZVNET_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${ZVNET_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

set(tests ${PROJECT_SOURCE_DIR}/tests)
add_executable(zvnet_windows_tests ${tests}/http/HttpWindowsTest_win.cpp
  ${tests}/frame/MsgLoopWindowsTest_win.cpp ${tests}/netstatus/NetStatusWindowsTest_win.cpp
  ${tests}/udp/UdpOutcomeTest.cpp ${tests}/support/Pump.cpp)
# BCrypt for the upload's digest; IP Helper to ask whether route notifications work here.
target_link_libraries(zvnet_windows_tests PRIVATE zvnet zvnet_pure GTest::gtest_main ws2_32 bcrypt
  iphlpapi)
target_include_directories(zvnet_windows_tests PRIVATE ${PROJECT_SOURCE_DIR}
  ${PROJECT_SOURCE_DIR}/xlog)
add_dependencies(zvnet_windows_tests zvxlog)
add_test(NAME WindowsExports COMMAND zvnet_windows_tests)
