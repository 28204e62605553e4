// Windows: CCriticalSection is a CRITICAL_SECTION (re-entrant). Usable with std::lock_guard.
#ifndef ZVNET_PLATFORM_WIN32_CRITICALSECTION_WIN_H_
#define ZVNET_PLATFORM_WIN32_CRITICALSECTION_WIN_H_

#include <mutex>

#include "platform/win32/WinTypes.h"

class CCriticalSection {
 public:
  CCriticalSection() { ::InitializeCriticalSection(&section); }
  ~CCriticalSection() { ::DeleteCriticalSection(&section); }
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  void Enter() { ::EnterCriticalSection(&section); }
  void Leave() { ::LeaveCriticalSection(&section); }
  bool TryEnter() { return ::TryEnterCriticalSection(&section) != FALSE; }

  // BasicLockable, for std::lock_guard and std::unique_lock.
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  CRITICAL_SECTION section;
};

using CAutoLock = std::lock_guard<CCriticalSection>;

#endif  // ZVNET_PLATFORM_WIN32_CRITICALSECTION_WIN_H_
