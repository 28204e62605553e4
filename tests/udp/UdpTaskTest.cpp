// The channel task on its own, as the service drives it: the send queue, and what happens to
// queued datagrams once the task is closed.
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MessageWindow.h"
#include "tests/support/Pump.h"
#include "tests/udp/SendToHook.h"
#include "udp/UdpReferenceServer.h"
#include "udp/UdpTask.h"

namespace {

// A window that keeps the messages posted to it (this thread only).
class CRecordingWindow : public IWindowProc {
 public:
  LRESULT WindowProc(HWND, UINT message, WPARAM wParam, LPARAM) override {
    seen.emplace_back(message, static_cast<int>(wParam));
    return 0;
  }
  std::vector<std::pair<UINT, int>> seen;
};

// A server that notes the payloads it is sent, in order, and answers nothing.
class CRecordingServer {
 public:
  CRecordingServer() {
    server.SetBehaviour([this](const UdpServedRequest& request) {
      std::lock_guard guard(lock);
      payloads.push_back(request.payload);
      return std::vector<UdpReplyPlan>{};
    });
    EXPECT_EQ(server.Start(), S_OK);
  }
  std::vector<std::string> Payloads() {
    std::lock_guard guard(lock);
    return payloads;
  }
  unsigned short Port() const { return server.Port(); }

 private:
  std::mutex lock;
  std::vector<std::string> payloads;
  CUdpReferenceServer server;
};

class UdpTaskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    recorder = std::make_shared<CRecordingWindow>();
    window = CreateWindowExW(recorder);
    ASSERT_NE(window, nullptr);
  }
  void TearDown() override {
    DestroyWindow(window);
    EXPECT_TRUE(WaitUntil([] { return CUdpTask::LiveCountForTesting() == 0; }))
        << "a task outlived its threads";
  }
  std::shared_ptr<CUdpTask> MakeTask(unsigned short port) {
    auto task = std::make_shared<CUdpTask>(0, window, 0, std::make_shared<CUdpReplyStore>());
    EXPECT_EQ(task->CreateSocket("127.0.0.1", port, 200, 200), S_OK);
    return task;
  }

  std::shared_ptr<CRecordingWindow> recorder;
  HWND window = nullptr;
};

}  // namespace

TEST_F(UdpTaskTest, QueuedDatagramsGoOutOldestFirstAndRemoveTaskDropsOnlyTheFirstMatch) {
  CRecordingServer server;
  auto task = MakeTask(server.Port());
  EXPECT_EQ(task->SendData(5, "a"), S_OK);
  EXPECT_EQ(task->SendData(6, "b"), S_OK);
  EXPECT_EQ(task->SendData(5, "c"), S_OK);
  EXPECT_EQ(task->SendData(7, nullptr), E_FAIL);
  EXPECT_EQ(task->RemoveTask(5), S_OK);
  EXPECT_EQ(task->RemoveTask(7), E_FAIL);
  ASSERT_EQ(task->CreateThread(UDP_THREAD_SEND, true), S_OK);

  ASSERT_TRUE(WaitUntil([&] { return server.Payloads().size() == 2; }));
  EXPECT_EQ(server.Payloads(), (std::vector<std::string>{"b", "c"}));
  ASSERT_TRUE(PumpUntil([&] { return recorder->seen.size() == 2; }));
  EXPECT_EQ(recorder->seen, (std::vector<std::pair<UINT, int>>{{WM_UDPTASK_SEND_COMPLETE, 6},
                                                               {WM_UDPTASK_SEND_COMPLETE, 5}}));
  task->Close();
}

TEST_F(UdpTaskTest, AfterCloseQueuedDatagramsAreStillSentButNothingIsPosted) {
  CRecordingServer server;
  CSendToHook hook;
  auto task = MakeTask(server.Port());
  task->SendData(1, "hook-block");
  task->SendData(2, "after close");
  ASSERT_EQ(task->CreateThread(UDP_THREAD_SEND, true), S_OK);
  ASSERT_TRUE(hook.WaitBlocked(10s));
  task->Close();
  hook.Release();
  ASSERT_TRUE(WaitUntil([&] { return server.Payloads().size() == 2; }));
  task.reset();
  ASSERT_TRUE(WaitUntil([] { return CUdpTask::LiveCountForTesting() == 0; }));
  PumpFor(50ms);
  EXPECT_TRUE(recorder->seen.empty()) << recorder->seen.size() << " messages after Close";
}
