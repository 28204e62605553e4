#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "frame/MulThreadProxy.h"
#include "platform/Event.h"
#include "tests/support/Pump.h"

namespace {

constexpr UINT kResult = 2245;
constexpr UINT kUnregistered = 2300;

// A service as the families build theirs: owned by a shared_ptr, proxy as a member.
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
    {
      std::lock_guard guard(mutex);
      seen.push_back({GetCurrentThreadId(), message, wParam});
    }
    if (onMessage) onMessage();
    return 0;
  }

  struct Seen {
    DWORD threadId;
    UINT message;
    WPARAM wParam;
  };
  std::vector<Seen> Snapshot() {
    std::lock_guard guard(mutex);
    return seen;
  }
  size_t Count(UINT message) {
    size_t n = 0;
    for (const Seen& s : Snapshot()) n += s.message == message;
    return n;
  }

  CMulThreadProxy<CFakeService> proxy;
  std::function<void()> onMessage;

 private:
  std::mutex mutex;
  std::vector<Seen> seen;
};

}  // namespace

TEST(MulThreadProxyTest, OneWindowPerThreadAndEachThreadSeesOnlyItsOwnMessages) {
  auto service = CFakeService::Create(false);
  HWND mine = service->proxy.GetThreadWindow();
  ASSERT_NE(mine, nullptr);
  EXPECT_EQ(service->proxy.GetThreadWindow(), mine) << "same thread must share its window";

  std::atomic<HWND> theirs{nullptr};
  std::atomic<bool> stop{false};
  DWORD theirId = 0;
  std::thread other([&] {
    theirId = GetCurrentThreadId();
    theirs = service->proxy.GetThreadWindow();
    while (!stop) PumpMessages(10);
  });
  ASSERT_TRUE(WaitUntil([&] { return theirs.load() != nullptr; }));
  EXPECT_NE(theirs.load(), mine);

  PostMessageW(mine, kResult, 1, 0);
  PostMessageW(theirs, kResult, 2, 0);
  PostMessageW(mine, kUnregistered, 3, 0);
  ASSERT_TRUE(PumpUntil([&] { return service->Count(kResult) == 2; }));
  stop = true;
  other.join();
  for (const auto& s : service->Snapshot()) {
    EXPECT_EQ(s.threadId, s.wParam == 1 ? GetCurrentThreadId() : theirId);
    EXPECT_NE(s.message, kUnregistered);
  }
  service->proxy.DestroyAllWindows();
}

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
  EXPECT_EQ(service->Snapshot()[0].wParam, kProxyTimerId);
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

TEST(MulThreadProxyTest, ShutdownWhileAnotherThreadDispatchesIsSafe) {
  auto service = CFakeService::Create(false);
  std::weak_ptr<CFakeService> weak = service;
  CEvent entered, release;
  service->onMessage = [&] {
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
}
