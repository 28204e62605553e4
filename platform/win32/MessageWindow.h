// Message-only windows, timers and posted messages: the part of the Windows window manager
// that the library uses to carry results from worker threads to the requesting thread.
//
// On Windows these are the system's own (windows.h); only the binding of a window to its
// IWindowProc object and the loop behind ZvMsgLoop are ours (platform/win32/MessageWindow_win.cpp).
// On Linux the whole of it is the stand-in below.
//
// A window belongs to the thread that created it; its messages and WM_TIMER ticks are
// dispatched only on that thread, by PumpMessages or DispatchThreadMessages. PostMessageW,
// IsWindow, KillTimer and DestroyWindow may be called from any thread. Handles are never
// reused, so a destroyed window stays destroyed: posts to it fail and IsWindow says false.
// In a child forked after the library made a window, no window exists and every call fails.
#ifndef ZVNET_PLATFORM_WIN32_MESSAGEWINDOW_H_
#define ZVNET_PLATFORM_WIN32_MESSAGEWINDOW_H_

#include <memory>

#include "platform/win32/WinTypes.h"
#include "platform/win32/WindowProc.h"

// A message-only window of the calling thread whose messages go to `proc`. Null on failure.
HWND CreateWindowExW(std::shared_ptr<IWindowProc> proc);

#ifndef _WIN32
// Destroys the window: no message of it is dispatched from now on. On the window's thread its
// procedure then gets WM_DESTROY and WM_NCDESTROY, as on Windows (also when the thread ends).
// On another thread it returns once a procedure of the window that is running has returned,
// so never call it there holding a lock that the procedure takes.
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
// FALSE (last error ERROR_INVALID_WINDOW_HANDLE) when the window does not exist; the poster
// keeps ownership of whatever lParam points to. Never waits for the receiving thread.
BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// Ticks arrive as WM_TIMER; only the null timer procedure is supported.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC timerProc = nullptr);
// No tick of the timer starts once it returns; on another thread it also waits, as
// DestroyWindow does, for a tick being dispatched.
BOOL KillTimer(HWND hwnd, UINT_PTR id);
LRESULT DefWindowProcW(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
DWORD GetLastError();
// The calling thread's last error, as the WinINet stand-in reports its failures.
void SetLastError(DWORD error);
#endif

// The calling thread's loop (behind the public ZvMsgLoop functions). On Windows the wait
// descriptor is always -1. Without a loop (its descriptors could not be made, the thread's
// thread-local storage is being torn down, or a child forked after the library was used)
// Pump and Dispatch answer -1 and the descriptor is -1.
long PumpMessages(DWORD timeoutMs);
long DispatchThreadMessages();
int GetThreadMessageWaitFd();

#endif  // ZVNET_PLATFORM_WIN32_MESSAGEWINDOW_H_
