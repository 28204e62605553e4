// Gives every thread that makes a request its own hidden message window, forwards the
// registered messages of those windows to the service, and runs each window's timer 347
// (2000 ms), whose ticks drive the service's time-out pass, only while the service has requests
// of that window open: an idle thread is not woken.
//
// Threads: RegisterMsg from the service's constructor; GetThreadWindow on requesting
// threads; StartTimer on any thread, StopTimer on the window's thread; ForgetWindow from the
// service when a window ends on its thread; DestroyAllWindows from the service's shutdown on any
// thread, holding none of the service's locks (it waits for a window procedure running on
// another thread). `lock` guards `windows`, `timed` and `messages`; it is taken after the
// service's records lock and never held while a window dispatches or is destroyed. The service
// is held weakly: it must be owned by a std::shared_ptr.
//
// Timer: the service calls StartTimer each time it stores a request of a window, and StopTimer
// from that window's tick when the pass leaves none open, both under the one service lock that
// guards its requests, so a request stored while the tick decides is either seen by the tick or
// starts the timer again after it. Windows sets a window's timer only on its thread: from
// another thread StartTimer posts kProxyStartTimerMessage, which the window turns into SetTimer
// when its thread next dispatches. A timer already running is never set again, so a stream of
// requests cannot push its tick back.
//
// A window is a thread's identity for the service: records name the window, never the thread
// id, which the system hands to a later thread. The map by thread id only finds the calling
// thread's live window; a dead thread's entry is dropped with its window.
//
// Shutdown from another thread is safe: DestroyAllWindows marks every window destroyed at once
// (no message of it is dispatched from then on; on Windows, a window of another thread closes
// itself on its thread and reaches no service meanwhile, since the service is held weakly),
// and a dispatch already running on a window's thread keeps the service alive through its own
// strong reference until it returns.
#ifndef ZVNET_FRAME_MULTHREADPROXY_H_
#define ZVNET_FRAME_MULTHREADPROXY_H_

#include <map>
#include <memory>
#include <set>
#include <vector>

#include "frame/SingleThreadWindow.h"
#include "platform/win32/CriticalSection.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/Thread.h"
#include "platform/win32/WinTypes.h"

template <class ServiceT>
class CMulThreadProxy {
 public:
  using Service = ServiceT;
  using Window = CSingleThreadWindow<CMulThreadProxy<ServiceT>>;

  CMulThreadProxy() = default;
  CMulThreadProxy(const CMulThreadProxy&) = delete;
  CMulThreadProxy& operator=(const CMulThreadProxy&) = delete;
  ~CMulThreadProxy() { DestroyAllWindows(); }

  void SetOwner(std::weak_ptr<Service> service) {
    CAutoLock guard(lock);
    owner = std::move(service);
  }

  void RegisterMsg(UINT message) {
    CAutoLock guard(lock);
    messages.push_back(message);
  }

  // The calling thread's window handle, made on first use, without a timer; null if it could
  // not be made. A window lost since (its thread's earlier window was destroyed) is made again.
  HWND GetThreadWindow() {
    const DWORD threadId = GetCurrentThreadId();
    CAutoLock guard(lock);
    auto it = windows.find(threadId);
    if (it != windows.end() && IsWindow(it->second->Handle())) return it->second->Handle();
    auto window = std::make_shared<Window>(owner, messages);
    if (!window->Create()) return nullptr;
    if (it != windows.end()) timed.erase(it->second->Handle());
    windows[threadId] = window;
    return window->Handle();
  }

  // A request of `hwnd` is open: its timer runs from now on, if it did not already.
  void StartTimer(HWND hwnd) {
    bool ownThread = false;
    {
      CAutoLock guard(lock);
      if (timed.contains(hwnd)) return;
      auto it = FindLocked(hwnd);
      if (it == windows.end()) return;
      timed.insert(hwnd);
      ownThread = it->first == GetCurrentThreadId();
    }
    // A failed post means the window is gone, and its requests with it.
    if (ownThread) {
      SetTimer(hwnd, kProxyTimerId, kProxyTimerPeriodMs, nullptr);
    } else {
      PostMessageW(hwnd, kProxyStartTimerMessage, 0, 0);
    }
  }

  // On the window's thread, from its tick: no request of `hwnd` is open, its timer stops.
  void StopTimer(HWND hwnd) {
    {
      CAutoLock guard(lock);
      timed.erase(hwnd);
    }
    KillTimer(hwnd, kProxyTimerId);
  }

  // Drops the entry of a window that has been destroyed.
  void ForgetWindow(HWND hwnd) {
    std::shared_ptr<Window> forgotten;  // released outside the lock
    CAutoLock guard(lock);
    timed.erase(hwnd);
    auto it = FindLocked(hwnd);
    if (it == windows.end()) return;
    forgotten = std::move(it->second);
    windows.erase(it);
  }

  long DestroyAllWindows() {
    WindowMap doomed;
    {
      CAutoLock guard(lock);
      doomed.swap(windows);
      timed.clear();
    }
    for (auto& [threadId, window] : doomed) {
      KillTimer(window->Handle(), kProxyTimerId);
      // Windows destroys only windows of the calling thread: another thread's window is
      // asked to close itself when its thread next dispatches; the service, held weakly,
      // receives nothing from it meanwhile.
      if (IsWindow(window->Handle()) && !DestroyWindow(window->Handle()))
        PostMessageW(window->Handle(), WM_CLOSE, 0, 0);
    }
    return 0;
  }

 private:
  using WindowMap = std::map<DWORD, std::shared_ptr<Window>>;
  typename WindowMap::iterator FindLocked(HWND hwnd) {
    auto it = windows.begin();
    while (it != windows.end() && it->second->Handle() != hwnd) ++it;
    return it;
  }

  WindowMap windows;     // by requesting thread id
  std::set<HWND> timed;  // windows whose timer runs, or is asked to start
  std::weak_ptr<Service> owner;
  std::vector<UINT> messages;  // in registration order
  CCriticalSection lock;
};

#endif  // ZVNET_FRAME_MULTHREADPROXY_H_
