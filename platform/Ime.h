// Worker threads switch the input method off for themselves on Windows; Linux threads have
// no input method, so there is nothing to do.
#ifndef ZVNET_PLATFORM_IME_H_
#define ZVNET_PLATFORM_IME_H_

#include "platform/WinTypes.h"

inline BOOL ImmDisableIME(DWORD /*threadId*/) {
  return TRUE;
}

#endif  // ZVNET_PLATFORM_IME_H_
