// The monotonic clocks behind QueryPerformanceCounter, GetTickCount and timeGetTime.
#ifndef ZVNET_PLATFORM_WIN32_CLOCK_H_
#define ZVNET_PLATFORM_WIN32_CLOCK_H_

#include <cstdint>

#include "platform/win32/WinTypes.h"

#ifdef _WIN32
#include <mmsystem.h>  // timeGetTime; GetTickCount comes with windows.h

// The counter calls in the form the library reads them: the value, or 0 when the call fails.
inline int64_t QueryPerformanceCounter() {
  LARGE_INTEGER value;
  return ::QueryPerformanceCounter(&value) ? value.QuadPart : 0;
}
inline int64_t QueryPerformanceFrequency() {
  LARGE_INTEGER value;
  return ::QueryPerformanceFrequency(&value) ? value.QuadPart : 0;
}
#else
// Milliseconds since an arbitrary start; wraps at 2^32 as the Windows calls do.
DWORD GetTickCount();
DWORD timeGetTime();
// Counter ticks and ticks per second (nanoseconds here).
int64_t QueryPerformanceCounter();
int64_t QueryPerformanceFrequency();
#endif  // _WIN32

#endif  // ZVNET_PLATFORM_WIN32_CLOCK_H_
