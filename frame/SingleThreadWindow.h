// The hidden message window of one requesting thread. It forwards the messages its proxy
// registered to the owning service's OnMulThreadProxyMsg, on the window's own thread, and its
// end (WM_NCDESTROY: destroyed on its thread, which the thread's end does too) to
// OnThreadWindowDestroyed, so that the service drops what that thread had open. It starts its
// own time-out timer when asked by kProxyStartTimerMessage: Windows lets only the window's
// thread set its timers.
//
// Made and owned by CMulThreadProxy; the window system keeps it alive while a message of it is
// being dispatched. It keeps only a weak reference to the service: a service that is gone, or
// a window that was destroyed, receives nothing more.
#ifndef ZVNET_FRAME_SINGLETHREADWINDOW_H_
#define ZVNET_FRAME_SINGLETHREADWINDOW_H_

#include <memory>
#include <set>
#include <vector>

#include "platform/win32/MessageWindow.h"
#include "platform/win32/WinTypes.h"
#include "platform/win32/WindowProc.h"

inline constexpr UINT_PTR kProxyTimerId = 347;
inline constexpr UINT kProxyTimerPeriodMs = 2000;
// In the WM_APP range (0x8000), private to these windows.
inline constexpr UINT kProxyStartTimerMessage = 0x8000 + 347;

template <class Proxy>
class CSingleThreadWindow : public IWindowProc,
                            public std::enable_shared_from_this<CSingleThreadWindow<Proxy>> {
 public:
  using Service = typename Proxy::Service;

  CSingleThreadWindow(std::weak_ptr<Service> owner, const std::vector<UINT>& messages)
      : owner(std::move(owner)), forwarded(messages.begin(), messages.end()) {}
  CSingleThreadWindow(const CSingleThreadWindow&) = delete;
  CSingleThreadWindow& operator=(const CSingleThreadWindow&) = delete;

  HWND Handle() const { return handle; }

  // Makes the message-only window on the calling thread; the handle stays null on failure.
  bool Create() {
    handle = CreateWindowExW(this->shared_from_this());
    return handle != nullptr;
  }

  LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override {
    if (message == kProxyStartTimerMessage) {
      SetTimer(hwnd, kProxyTimerId, kProxyTimerPeriodMs, nullptr);
      return 0;
    }
    ProcessWindowMessage(hwnd, message, wParam, lParam);
    return DefWindowProcW(hwnd, message, wParam, lParam);
  }

 private:
  void ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const bool destroyed = message == WM_NCDESTROY;
    if (!destroyed && !forwarded.count(message)) return;
    // The strong reference keeps the service alive until its handler returns, even when
    // another thread shuts the service down meanwhile.
    auto service = owner.lock();
    if (!service) return;
    if (destroyed) {
      service->OnThreadWindowDestroyed(hwnd);
    } else {
      service->OnMulThreadProxyMsg(hwnd, message, wParam, lParam);
    }
  }

  HWND handle = nullptr;
  const std::weak_ptr<Service> owner;
  const std::set<UINT> forwarded;  // the proxy's messages when the window was made
};

#endif  // ZVNET_FRAME_SINGLETHREADWINDOW_H_
