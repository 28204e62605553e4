// Something a thread can wait for: a descriptor that polls readable when it is signalled.
#ifndef ZVNET_PLATFORM_WIN32_WAITABLE_H_
#define ZVNET_PLATFORM_WIN32_WAITABLE_H_

#ifdef _WIN32
#include "platform/windows/Waitable.h"  // a kernel object handle
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
};
#endif  // _WIN32

#endif  // ZVNET_PLATFORM_WIN32_WAITABLE_H_
