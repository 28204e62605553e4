// What the window table knows of one message-only window.
#ifndef ZVNET_PLATFORM_WIN32_WINDOWRECORD_LINUX_H_
#define ZVNET_PLATFORM_WIN32_WINDOWRECORD_LINUX_H_

#include <atomic>
#include <memory>

#include "platform/win32/WinTypes.h"
#include "platform/win32/WindowProc.h"

class CThreadMessageQueue;

// Immutable after creation except `alive`. Queued messages hold a reference, so the receiver
// outlives every dispatch that started before the window was destroyed.
struct CWindowRecord {
  HWND hwnd = nullptr;
  std::shared_ptr<IWindowProc> proc;
  std::shared_ptr<CThreadMessageQueue> queue;  // the owning thread's queue
  std::atomic<bool> alive{true};
};

#endif  // ZVNET_PLATFORM_WIN32_WINDOWRECORD_LINUX_H_
