// Binds the logging library "libzvxlog.so" ("zvxlog.dll" on Windows) once the host has loaded
// it; never loads it.
//
// One process-wide instance, made at library load and torn down at unload. `lock` serialises
// binding only; `loaded` is read without it, so two threads may both look the module up and
// only the first to take the lock records it. XLogV is never called under the lock.
#ifndef ZVNET_FRAME_LOGBRIDGE_H_
#define ZVNET_FRAME_LOGBRIDGE_H_

#include <atomic>
#include <cstdarg>

#include "platform/win32/CriticalSection.h"
#include "platform/win32/Module.h"
#include "platform/win32/WinTypes.h"

class CLogBridge {
 public:
  using XLogVFn = void (*)(int level, const wchar_t* tag, const wchar_t* format, va_list args);

  // The process-wide bridge; null once torn down.
  static CLogBridge* Get();

  CLogBridge();
  ~CLogBridge();  // the teardown
  CLogBridge(const CLogBridge&) = delete;
  CLogBridge& operator=(const CLogBridge&) = delete;

  void Write(int level, const wchar_t* tag, const wchar_t* format, va_list args);
  // 0 bound now, 1 already bound, E_FAIL torn down or module not loaded.
  HRESULT Bind();

  // Seam for tests: the library name looked up instead of the logging library's.
  static void SetModuleNameForTesting(const char* soname);

 private:
  std::atomic<int> state{0};   // 1 ready, 0 not initialised or torn down
  std::atomic<int> loaded{0};  // 1 once bound
  HMODULE module = nullptr;
  CCriticalSection lock;
  void* getLogController2 = nullptr;  // looked up, never called
  void* zvDebugReport = nullptr;      // looked up, never called
  void* xlogAddIndent = nullptr;      // looked up, never called
  // The XLogV entry, kept as an address: an atomic of the function type would drop va_list's
  // attributes on Windows.
  std::atomic<void*> xlogV{nullptr};
  // The loaded-modules generation of the last failed look-up: until a library is loaded, a
  // log call costs one counter read instead of a full look-up.
  std::atomic<unsigned long long> missedGeneration{~0ull};
};

#endif  // ZVNET_FRAME_LOGBRIDGE_H_
