#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "frame/MulThreadProxy.h"
#include "platform/win32/Event.h"
#include "tests/support/Pump.h"

namespace {

constexpr UINT kResult = 2245;

// A service as the families build theirs: owned by a shared_ptr, proxy as a member. (Each
// thread's callbacks on its own thread are tested through the exports.)
class CFakeService : public std::enable_shared_from_this<CFakeService> {
 public:
  static std::shared_ptr<CFakeService> Create(bool forwardTimer) {
    auto service = std::make_shared<CFakeService>();
    service->proxy.RegisterMsg(kResult);
    if (forwardTimer) service->proxy.RegisterMsg(WM_TIMER);
    service->proxy.SetOwner(service);
    return service;
  }

  void OnThreadWindowDestroyed(HWND window) { proxy.ForgetWindow(window); }
  long OnMulThreadProxyMsg(HWND, UINT message, WPARAM wParam, LPARAM) {
    if (onMessage) {
      onMessage();  // the one dispatch of another thread
    } else {
      seen.push_back({message, wParam});  // the test's own thread
    }
    return 0;
  }
  size_t Count(UINT message) const {
    return std::count_if(seen.begin(), seen.end(),
                         [&](const auto& s) { return s.first == message; });
  }

  CMulThreadProxy<CFakeService> proxy;
  std::vector<std::pair<UINT, WPARAM>> seen;
  std::function<void()> onMessage;
};

}  // namespace

// After DestroyAllWindows, and after a window is lost, posts to the old window are refused and
// the thread gets a fresh window (never an old handle) whose timer starts when asked; what was
// queued on the old one is dropped. Timer ticks (every 2 s) reach only a service that
// registered WM_TIMER.
TEST(MulThreadProxyTest, DestroyedWindowsRefusePostsAndLaterRequestsGetAFreshOne) {
  auto service = CFakeService::Create(true);
  auto withoutTimer = CFakeService::Create(false);
  const HWND untimed = withoutTimer->proxy.GetThreadWindow();
  ASSERT_NE(untimed, nullptr);
  withoutTimer->proxy.StartTimer(untimed);
  std::vector<HWND> windows = {service->proxy.GetThreadWindow()};
  for (bool all : {true, false}) {
    PostMessageW(windows.back(), kResult, 1, 0);
    if (all) {
      EXPECT_EQ(service->proxy.DestroyAllWindows(), 0);
    } else {
      DestroyWindow(windows.back());
    }
    EXPECT_FALSE(PostMessageW(windows.back(), kResult, 2, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    const HWND fresh = service->proxy.GetThreadWindow();
    EXPECT_TRUE(fresh && std::find(windows.begin(), windows.end(), fresh) == windows.end());
    windows.push_back(fresh);
    service->proxy.StartTimer(fresh);
    const size_t ticks = service->Count(WM_TIMER);
    EXPECT_TRUE(PumpUntil([&] { return service->Count(WM_TIMER) > ticks; }, 10s)) << all;
  }
  EXPECT_EQ(service->seen[0].second, kProxyTimerId);
  EXPECT_EQ(service->Count(kResult), 0u) << "a message queued before destruction was delivered";
  EXPECT_EQ(withoutTimer->Count(WM_TIMER), 0u);
  service->proxy.DestroyAllWindows();
  withoutTimer->proxy.DestroyAllWindows();
}

// The window is gone for new messages at once; shutdown waits for the running dispatch, and
// the message queued behind is never dispatched.
TEST(MulThreadProxyTest, ShutdownWhileAnotherThreadDispatchesIsSafe) {
  auto service = CFakeService::Create(false);
  std::weak_ptr<CFakeService> weak = service;
  CEvent entered, release;
  std::atomic<int> dispatched{0};
  service->onMessage = [&] {
    ++dispatched;
    entered.Set();
    release.Wait(INFINITE);
  };
  std::atomic<HWND> hwnd{nullptr};
  std::atomic<bool> stop{false};
  std::thread other([&] {
    hwnd = service->proxy.GetThreadWindow();
    while (!stop) PumpMessages(10);
  });
  ASSERT_TRUE(WaitUntil([&] { return hwnd.load() != nullptr; }));
  PostMessageW(hwnd, kResult, 1, 0);
  PostMessageW(hwnd, kResult, 2, 0);
  ASSERT_EQ(entered.Wait(10000), WAIT_OBJECT_0);

  // Shutdown on a third thread, after the owner dropped its reference, while the window's
  // thread is inside a dispatch: the dispatch keeps the service alive, and shutdown returns
  // only once it has returned.
  std::atomic<bool> shutDown{false};
  std::thread closer([&, keep = service] {
    keep->proxy.DestroyAllWindows();
    shutDown = true;
  });
  service.reset();
  EXPECT_FALSE(WaitUntil([&] { return shutDown.load(); }, 300ms))
      << "DestroyAllWindows returned while the window's procedure ran";
  release.Set();
  closer.join();
  ASSERT_TRUE(WaitUntil([&] { return weak.expired(); }));
  stop = true;
  other.join();
  EXPECT_EQ(dispatched, 1) << "a message dispatched after its window was destroyed";
}
