// An open file or folder of the system, owned and closed once: a descriptor on Linux, a kernel
// handle on Windows. For portable code that keeps one for its platform part (X_linux.cpp,
// X_win.cpp) to use.
#ifndef ZVNET_PLATFORM_WIN32_UNIQUEFILE_H_
#define ZVNET_PLATFORM_WIN32_UNIQUEFILE_H_

#ifdef _WIN32
#include "platform/win32/UniqueHandle_win.h"
using UniqueFile = UniqueHandle;
#else
#include "platform/win32/UniqueFd.h"
using UniqueFile = UniqueFd;
#endif

#endif  // ZVNET_PLATFORM_WIN32_UNIQUEFILE_H_
