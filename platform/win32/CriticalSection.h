// A re-entrant lock, as a Windows critical section is. Usable with std::lock_guard.
#ifndef ZVNET_PLATFORM_WIN32_CRITICALSECTION_H_
#define ZVNET_PLATFORM_WIN32_CRITICALSECTION_H_

#ifdef _WIN32
#include "platform/win32/CriticalSection_win.h"  // a CRITICAL_SECTION itself
#else
#include <mutex>

class CCriticalSection {
 public:
  CCriticalSection() = default;
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  void Enter() { mutex.lock(); }
  void Leave() { mutex.unlock(); }
  bool TryEnter() { return mutex.try_lock(); }

  // BasicLockable, for std::lock_guard and std::unique_lock.
  void lock() { Enter(); }
  void unlock() { Leave(); }

 private:
  std::recursive_mutex mutex;
};

using CAutoLock = std::lock_guard<CCriticalSection>;
#endif  // _WIN32

#endif  // ZVNET_PLATFORM_WIN32_CRITICALSECTION_H_
