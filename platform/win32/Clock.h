// The monotonic clocks behind QueryPerformanceCounter, GetTickCount and timeGetTime.
#ifndef ZVNET_PLATFORM_WIN32_CLOCK_H_
#define ZVNET_PLATFORM_WIN32_CLOCK_H_

#include <cstdint>

#include "platform/win32/WinTypes.h"

// Milliseconds since an arbitrary start; wraps at 2^32 as the Windows calls do.
DWORD GetTickCount();
DWORD timeGetTime();
// Counter ticks and ticks per second (nanoseconds here).
int64_t QueryPerformanceCounter();
int64_t QueryPerformanceFrequency();

#endif  // ZVNET_PLATFORM_WIN32_CLOCK_H_
