// Worker threads switch the input method off for themselves on Windows; Linux threads have
// no input method, so there is nothing to do.
#ifndef ZVNET_PLATFORM_WIN32_IME_H_
#define ZVNET_PLATFORM_WIN32_IME_H_

#include "platform/win32/WinTypes.h"

#ifdef _WIN32
#include <imm.h>  // the real one (imm32)
#else
inline BOOL ImmDisableIME(DWORD /*threadId*/) {
  return TRUE;
}
#endif

#endif  // ZVNET_PLATFORM_WIN32_IME_H_
