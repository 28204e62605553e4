// Windows: CEvent is a kernel event (CreateEventW). Manual-reset events stay signalled until
// Reset; auto-reset events release one waiter and reset themselves. Any thread may Set, Reset
// and wait. There is no descriptor cache to recycle from: both sources make a new event.
#ifndef ZVNET_PLATFORM_WIN32_EVENT_WIN_H_
#define ZVNET_PLATFORM_WIN32_EVENT_WIN_H_

#include "platform/win32/UniqueHandle_win.h"
#include "platform/win32/Waitable.h"
#include "platform/win32/WinTypes.h"

class CEvent : public CWaitable {
 public:
  enum class ResetMode { kManual, kAuto };
  enum class Source { kNew, kRecycled };
  explicit CEvent(ResetMode mode = ResetMode::kManual, bool initiallySet = false,
                  Source source = Source::kNew)
      : handle(::CreateEventW(nullptr, mode == ResetMode::kManual, initiallySet, nullptr)) {}
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  bool IsValid() const { return handle.IsValid(); }
  void Set() { ::SetEvent(handle.Get()); }
  void Reset() { ::ResetEvent(handle.Get()); }
  // True when signalled; for an auto-reset event this consumes the signal.
  bool IsSet() const { return Wait(0) == WAIT_OBJECT_0; }
  // WAIT_OBJECT_0 or WAIT_TIMEOUT.
  DWORD Wait(DWORD timeoutMs) const {
    return ::WaitForSingleObject(handle.Get(), timeoutMs) == WAIT_OBJECT_0 ? WAIT_OBJECT_0
                                                                           : WAIT_TIMEOUT;
  }

  HANDLE WaitHandle() const override { return handle.Get(); }

 private:
  UniqueHandle handle;
};

#endif  // ZVNET_PLATFORM_WIN32_EVENT_WIN_H_
