# The Windows tree, cross-compiled with mingw-w64 (cmake/mingw-w64-x86_64.cmake): zvnet.dll
# with its import library, zvxlog.dll, and the Windows tests: the message loop and the three
# families.
#
# Every target links its runtime (libstdc++, libgcc, winpthread) statically, so the DLLs and
# programs need nothing beside them.
# _POSIX_THREAD_SAFE_FUNCTIONS: mingw-w64's localtime_r and gmtime_r (over localtime_s).
add_compile_definitions(WIN32_LEAN_AND_MEAN NOMINMAX UNICODE _UNICODE _WIN32_WINNT=0x0601
  _POSIX_THREAD_SAFE_FUNCTIONS)
add_compile_options(-Wall -Wextra -Wno-unused-parameter)
add_link_options(-static)
# The DLLs beside the programs that load them, as Windows (and wine) find them.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

set(ZVNET_SYSTEM_LIBS ws2_32 imm32 winmm user32 wininet iphlpapi)
include(cmake/Library.cmake)
target_link_libraries(zvnet_pure PRIVATE bcrypt)
# The exports are marked __declspec(dllexport); with that, nothing else leaves the DLL.
target_compile_definitions(zvnet_core PRIVATE ZVNET_BUILDING_DLL)
add_subdirectory(tools)
# zvnet.dll and its import library libzvnet.dll.a.
set_target_properties(zvnet PROPERTIES PREFIX "")

# zvnet.exe: the command, from the same folder as on Linux.
add_subdirectory(cli)

install(TARGETS zvnet zvxlog zvnet_cli
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# The headers of what the DLL holds so far.
install(FILES include/zvnet/zvdefs.h include/zvnet/zvhttp.h include/zvnet/zvmsgloop.h
  include/zvnet/zvnet.h include/zvnet/zvnetstatus.h include/zvnet/zvudp.h
  xlog/zvxlog.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zvnet)

if(ZVNET_BUILD_TESTS)
  enable_testing()
  include(tests/Windows.cmake)
endif()
