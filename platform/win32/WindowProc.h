// The receiver of a window's messages, called on the window's own thread while it pumps.
#ifndef ZVNET_PLATFORM_WIN32_WINDOWPROC_H_
#define ZVNET_PLATFORM_WIN32_WINDOWPROC_H_

#include "platform/win32/WinTypes.h"

class IWindowProc {
 public:
  virtual ~IWindowProc() = default;
  virtual LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) = 0;
};

#endif  // ZVNET_PLATFORM_WIN32_WINDOWPROC_H_
