// Windows: the system's message-only windows, bound to IWindowProc objects, and the loop
// behind ZvMsgLoop.
//
// Each window keeps a heap-held std::shared_ptr to its object in GWLP_USERDATA, from
// WM_NCCREATE until WM_NCDESTROY; the window procedure copies it for the length of each call,
// so an object that destroys its own window stays alive until its handler returns.
//
// When a thread ends, the system destroys its windows without calling their procedures (the
// thread can no longer run them). The windows made here are destroyed by the thread itself
// just before, from a thread-local destructor, so their objects get WM_NCDESTROY on it, as
// on Linux, and the services drop what the thread had open.
#include "platform/win32/MessageWindow.h"

#include <mutex>
#include <vector>

extern "C" IMAGE_DOS_HEADER __ImageBase;  // this module, as the linker names it

namespace {

constexpr wchar_t kClassName[] = L"SingleThreadWindowClass";
// WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN; never shown (HWND_MESSAGE).
constexpr DWORD kWindowStyle = 0x56000000;

using ProcBox = std::shared_ptr<IWindowProc>;

// The windows this thread made here, destroyed when the thread ends.
struct CThreadWindows {
  std::vector<HWND> windows;
  ~CThreadWindows() {
    for (HWND hwnd : windows) {
      if (::IsWindow(hwnd) && ::GetWindowThreadProcessId(hwnd, nullptr) == ::GetCurrentThreadId())
        ::DestroyWindow(hwnd);
    }
  }
  void Add(HWND hwnd) {
    // Those destroyed since are dropped, so a thread that makes many keeps a short list.
    std::erase_if(windows, [](HWND old) { return !::IsWindow(old); });
    windows.push_back(hwnd);
  }
};

thread_local CThreadWindows threadWindows;

HINSTANCE ThisModule() {
  return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

LRESULT CALLBACK BoundWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
    auto* owner = static_cast<std::unique_ptr<ProcBox>*>(create->lpCreateParams);
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owner->release()));
  }
  auto* box = reinterpret_cast<ProcBox*>(::GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!box) return ::DefWindowProcW(hwnd, message, wParam, lParam);
  ProcBox proc = *box;
  if (message == WM_NCDESTROY) {
    ::SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    delete box;
  }
  return proc->WindowProc(hwnd, message, wParam, lParam);
}

// Registered once per process; a class of that name already registered for this module (by
// an earlier load) is used as it is.
bool RegisterWindowClass() {
  static std::once_flag once;
  static bool registered = false;
  std::call_once(once, [] {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof existing;
    if (::GetClassInfoExW(ThisModule(), kClassName, &existing)) {
      registered = true;
      return;
    }
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = BoundWindowProc;
    wc.hInstance = ThisModule();
    wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kClassName;
    registered = ::RegisterClassExW(&wc) != 0;
  });
  return registered;
}

}  // namespace

HWND CreateWindowExW(std::shared_ptr<IWindowProc> proc) {
  if (!proc || !RegisterWindowClass()) return nullptr;
  // Adopted by the window at WM_NCCREATE; freed here if the window never got that far.
  auto owner = std::make_unique<ProcBox>(std::move(proc));
  HWND hwnd =
      ::CreateWindowExW(0, kClassName, nullptr, kWindowStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, HWND_MESSAGE, nullptr, ThisModule(), &owner);
  if (hwnd) threadWindows.Add(hwnd);
  return hwnd;
}

long DispatchThreadMessages() {
  long dispatched = 0;
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      // The host's loop ends on it, not ours: put it back.
      ::PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
    ++dispatched;
  }
  return dispatched;
}

long PumpMessages(DWORD timeoutMs) {
  // MWMO_INPUTAVAILABLE: returns at once when messages are already queued.
  ::MsgWaitForMultipleObjectsEx(0, nullptr, timeoutMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  return DispatchThreadMessages();
}

int GetThreadMessageWaitFd() {
  return -1;
}
