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

  long OnMulThreadProxyMsg(UINT message, WPARAM wParam, LPARAM) {
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

// After DestroyAllWindows, and after a window is lost, the thread gets a fresh one with a timer.
// Timer ticks reach only a service that registered WM_TIMER.
TEST(MulThreadProxyTest, DestroyedWindowsRefusePostsAndLaterRequestsGetAFreshOne) {
  auto service = CFakeService::Create(true);
  auto withoutTimer = CFakeService::Create(false);
  ASSERT_NE(withoutTimer->proxy.GetThreadWindow(), nullptr);
  HWND first = service->proxy.GetThreadWindow();
  PostMessageW(first, kResult, 1, 0);
  EXPECT_EQ(service->proxy.DestroyAllWindows(), 0);
  EXPECT_FALSE(IsWindow(first));
  EXPECT_FALSE(PostMessageW(first, kResult, 2, 0));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
  PumpFor(50ms);
  EXPECT_EQ(service->Count(kResult), 0u) << "a message queued before destruction was delivered";

  HWND second = service->proxy.GetThreadWindow();
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  // The period is 2000 ms: allow a few.
  ASSERT_TRUE(PumpUntil([&] { return service->Count(WM_TIMER) >= 1; }, 10s))
      << "the window after DestroyAllWindows has no timer";
  EXPECT_EQ(service->seen[0].second, kProxyTimerId);
  EXPECT_EQ(withoutTimer->Count(WM_TIMER), 0u);

  DestroyWindow(second);
  HWND third = service->proxy.GetThreadWindow();
  ASSERT_NE(third, nullptr);
  EXPECT_NE(third, second);
  EXPECT_NE(third, first) << "handles are never reused";
  const size_t ticks = service->Count(WM_TIMER);
  EXPECT_TRUE(PumpUntil([&] { return service->Count(WM_TIMER) > ticks; }, 10s))
      << "the window made again has no timer";
  service->proxy.DestroyAllWindows();
  withoutTimer->proxy.DestroyAllWindows();
}

// The window goes at once (without waiting for the running dispatch), and the message queued
// behind is never dispatched.
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

  // The owner shuts down and drops its reference while the other thread is inside a dispatch.
  service->proxy.DestroyAllWindows();
  CFakeService* raw = service.get();
  service.reset();
  EXPECT_FALSE(weak.expired()) << "the running dispatch must keep the service alive";
  release.Set();
  ASSERT_TRUE(WaitUntil([&] { return weak.expired(); }));
  stop = true;
  other.join();
  (void)raw;
  EXPECT_EQ(dispatched, 1) << "a message dispatched after its window was destroyed";
}
