// A thread as _beginthreadex makes one, with a handle that can be waited on with a time-out.
//
// The owner may wait for the thread's end with Wait(). The destructor joins a thread that has
// ended; one still running after its owner gave up waiting is detached and left to finish on
// its own, as closing a Windows thread handle does. Such a thread must not touch its owner.
#ifndef ZVNET_PLATFORM_WIN32_THREAD_H_
#define ZVNET_PLATFORM_WIN32_THREAD_H_

#ifdef _WIN32
#include "platform/win32/Thread_win.h"  // _beginthreadex itself
#else
#include <functional>
#include <memory>
#include <thread>

#include "platform/win32/Event.h"
#include "platform/win32/WinTypes.h"

class CThread {
 public:
  CThread() = default;
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;
  ~CThread();

  // Starts the thread; false when it could not be created.
  bool Start(std::function<void()> body);
  bool IsStarted() const { return thread.joinable(); }
  // WAIT_OBJECT_0 once the thread has ended, else WAIT_TIMEOUT.
  DWORD Wait(DWORD timeoutMs) const;
  bool IsCurrent() const { return thread.get_id() == std::this_thread::get_id(); }

 private:
  std::thread thread;
  std::shared_ptr<CEvent> ended;  // shared with the thread, which may outlive this object
};

// The calling thread's system-wide id (gettid), as GetCurrentThreadId answers on Windows.
DWORD GetCurrentThreadId();

// Gives the calling thread the lowest priority (THREAD_PRIORITY_IDLE on Windows, nice 19 here).
void LowerCurrentThreadPriority();
#endif  // _WIN32

#endif  // ZVNET_PLATFORM_WIN32_THREAD_H_
