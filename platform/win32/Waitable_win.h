// Windows: something a thread can wait for is a kernel object handle.
#ifndef ZVNET_PLATFORM_WIN32_WAITABLE_WIN_H_
#define ZVNET_PLATFORM_WIN32_WAITABLE_WIN_H_

#include "platform/win32/WinTypes.h"

class CWaitable {
 public:
  virtual ~CWaitable() = default;
  // The handle that WaitForMultipleObjects takes; signalled while the object is.
  virtual HANDLE WaitHandle() const = 0;
};

#endif  // ZVNET_PLATFORM_WIN32_WAITABLE_WIN_H_
