#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "frame/MulThreadProxy.h"
#include "tests/support/Pump.h"

namespace {

constexpr UINT kResult = 2245;

// A service as the families build theirs: owned by a shared_ptr, proxy as a member. (Each
// thread's callbacks on its own thread, and a shutdown racing another thread's dispatch, are
// tested through the exports.)
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
    seen.push_back({message, wParam});
    return 0;
  }
  size_t Count(UINT message) const {
    return std::count_if(seen.begin(), seen.end(),
                         [&](const auto& s) { return s.first == message; });
  }

  CMulThreadProxy<CFakeService> proxy;
  std::vector<std::pair<UINT, WPARAM>> seen;
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
