// Gives every thread that makes a request its own hidden message window with timer 347
// (2000 ms), and forwards the registered messages of those windows to the service.
//
// Threads: RegisterMsg from the service's constructor; GetThreadWindow on requesting
// threads; ForgetWindow from the service when a window ends on its thread; DestroyAllWindows
// from the service's shutdown on any thread, holding none of the service's locks (it waits for
// a window procedure running on another thread). `lock` guards `windows` and `messages`; it is
// taken after the service's records lock and never held while a window dispatches or is
// destroyed. The service is held weakly: it must be owned by a std::shared_ptr.
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
#include <vector>

#include "frame/SingleThreadWindow.h"
#include "platform/win32/CriticalSection.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/Thread.h"
#include "platform/win32/WinTypes.h"

inline constexpr UINT_PTR kProxyTimerId = 347;
inline constexpr UINT kProxyTimerPeriodMs = 2000;

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

  // The calling thread's window handle, made on first use; null if it could not be made.
  // A window lost since (its thread's earlier window was destroyed) is made again, and its
  // timer restarted, so that the thread's time-outs keep running.
  HWND GetThreadWindow() {
    const DWORD threadId = GetCurrentThreadId();
    CAutoLock guard(lock);
    auto it = windows.find(threadId);
    if (it != windows.end() && IsWindow(it->second->Handle())) return it->second->Handle();
    auto window = std::make_shared<Window>(owner, messages);
    if (!window->Create()) return nullptr;
    SetTimer(window->Handle(), kProxyTimerId, kProxyTimerPeriodMs, nullptr);
    windows[threadId] = window;
    return window->Handle();
  }

  // Drops the entry of a window that has been destroyed.
  void ForgetWindow(HWND hwnd) {
    std::shared_ptr<Window> forgotten;  // released outside the lock
    CAutoLock guard(lock);
    for (auto it = windows.begin(); it != windows.end(); ++it) {
      if (it->second->Handle() != hwnd) continue;
      forgotten = std::move(it->second);
      windows.erase(it);
      return;
    }
  }

  long DestroyAllWindows() {
    std::map<DWORD, std::shared_ptr<Window>> doomed;
    {
      CAutoLock guard(lock);
      doomed.swap(windows);
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
  std::map<DWORD, std::shared_ptr<Window>> windows;  // by requesting thread id
  std::weak_ptr<Service> owner;
  std::vector<UINT> messages;  // in registration order
  CCriticalSection lock;
};

#endif  // ZVNET_FRAME_MULTHREADPROXY_H_
