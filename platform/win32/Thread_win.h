// Windows: a thread made by _beginthreadex, whose handle is waited on with a time-out.
//
// The destructor closes the handle. A thread still running then goes on to its end on its
// own, as closing a Windows thread handle lets it; such a thread must not touch its owner.
#ifndef ZVNET_PLATFORM_WIN32_THREAD_WIN_H_
#define ZVNET_PLATFORM_WIN32_THREAD_WIN_H_

#include <functional>

#include "platform/win32/UniqueHandle_win.h"
#include "platform/win32/WinTypes.h"

class CThread {
 public:
  CThread() = default;
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // Starts the thread; false when it could not be created.
  bool Start(std::function<void()> body);
  bool IsStarted() const { return handle.IsValid(); }
  // WAIT_OBJECT_0 once the thread has ended, else WAIT_TIMEOUT.
  DWORD Wait(DWORD timeoutMs) const;
  bool IsCurrent() const {
    return IsStarted() && ::GetThreadId(handle.Get()) == ::GetCurrentThreadId();
  }

 private:
  UniqueHandle handle;
};

// Gives the calling thread the lowest priority.
inline void LowerCurrentThreadPriority() {
  ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_IDLE);  // a refusal changes nothing
}

#endif  // ZVNET_PLATFORM_WIN32_THREAD_WIN_H_
