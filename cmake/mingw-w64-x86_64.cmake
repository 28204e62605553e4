# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64).
# The posix-thread variant of the compiler is the one with std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ZVNET_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZVNET_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZVNET_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZVNET_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${ZVNET_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs and tests run under wine64 on the build machine.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
