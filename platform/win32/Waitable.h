// Something a thread can wait for: a descriptor that polls readable when it is signalled.
// A wait that polls the descriptor announces itself first (BeginPoll, then it asks StateNow
// again) and after (EndPoll): an object whose state is known in memory may leave the
// descriptor alone while nobody polls it.
#ifndef ZVNET_PLATFORM_WIN32_WAITABLE_H_
#define ZVNET_PLATFORM_WIN32_WAITABLE_H_

#ifdef _WIN32
#include "platform/win32/Waitable_win.h"  // a kernel object handle
#else
class CWaitable {
 public:
  virtual ~CWaitable() = default;
  // The descriptor that polls readable while the object is signalled.
  virtual int WaitFd() const = 0;
  // Called once the wait picked this object. Answers false when another waiter consumed the
  // signal first (auto-reset objects), so the wait goes on.
  virtual bool ConsumeSignal() const { return true; }
  // The state when it is known without asking the kernel, so that a wait can skip the poll.
  enum class KnownState { kUnknown, kClear, kSignalled };
  virtual KnownState StateNow() const { return KnownState::kUnknown; }
  virtual void BeginPoll() const {}
  virtual void EndPoll() const {}
};
#endif  // _WIN32

#endif  // ZVNET_PLATFORM_WIN32_WAITABLE_H_
