#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "netstatus/DetectNetStatus.h"
#include "platform/MessageWindow.h"
#include "tests/netstatus/NetStatusFixture.h"

namespace {

// Keeps the messages a window receives. The windows are the test thread's, so only that
// thread dispatches to them.
class CRecorder : public IWindowProc {
 public:
  struct Message {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
  };
  LRESULT WindowProc(HWND, UINT message, WPARAM wParam, LPARAM lParam) override {
    received.push_back({message, wParam, lParam});
    return 0;
  }
  std::vector<Message> received;
};

// A window of the test thread, destroyed with the object.
class CRecordingWindow {
 public:
  CRecordingWindow() : hwnd(CreateWindowExW(recorder)) {}
  ~CRecordingWindow() {
    if (IsWindow(hwnd)) DestroyWindow(hwnd);
  }
  const std::vector<CRecorder::Message>& Received() const { return recorder->received; }

  const std::shared_ptr<CRecorder> recorder = std::make_shared<CRecorder>();
  const HWND hwnd;
};

class DetectNetStatusTest : public NetStatusFixture {
 protected:
  void TearDown() override {
    detector.reset();  // stops and forgets every window, whatever a failed test left behind
    NetStatusFixture::TearDown();
  }

  std::unique_ptr<CDetectNetStatus> detector = std::make_unique<CDetectNetStatus>();
};

// Stops that come before the thread's first wait, while it waits, and while it lets a change
// settle all end the thread at once: none waits out the time-out, none lets a post through.
TEST_F(DetectNetStatusTest, NoStopIsMissed) {
  CRecordingWindow window;
  ASSERT_EQ(detector->RegisterWindow(window.hwnd, TRUE), S_OK);
  constexpr int kRounds = 30;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(detector->StartDetect(), S_OK);
    if (round % 3 >= 1) {
      ASSERT_TRUE(WaitUntil([&] { return DetectorIsWatching(); }));
    }
    if (round % 3 == 2) {
      ASSERT_TRUE(ns.Ip("addr add 10.0.0." + std::to_string(10 + round) + "/32 dev v0"));
    }
    ASSERT_EQ(detector->StopDetect(), S_OK);
    EXPECT_TRUE(detector->IsStopped());
    EXPECT_TRUE(NothingWatches());
  }
  EXPECT_EQ(log.Count("CDetectNetStatus::MainProc Abort"), kRounds);
  EXPECT_EQ(log.Count("Wait For Thread Exit Timeout"), 0);
  PumpFor(50ms);
  EXPECT_TRUE(window.Received().empty()) << "a stopped detector posted";
}

TEST_F(DetectNetStatusTest, SettledChangeIsPostedToEveryLiveEntryInOrder) {
  CRecordingWindow first, second, destroyed;
  for (HWND hwnd : {first.hwnd, destroyed.hwnd, second.hwnd, first.hwnd}) {
    ASSERT_EQ(detector->RegisterWindow(hwnd, TRUE), S_OK);
  }
  DestroyWindow(destroyed.hwnd);
  ASSERT_EQ(detector->StartDetect(), S_OK);
  ASSERT_TRUE(WaitUntil([&] { return DetectorIsWatching(); }));

  ASSERT_TRUE(ns.Ip("route add default via 10.0.0.2 dev v0"));
  ASSERT_TRUE(PumpUntil([&] { return first.Received().size() == 2; }, 10s));
  ASSERT_TRUE(PumpUntil([&] { return second.Received().size() == 1; }, 1s));
  for (const auto& message : first.Received()) {
    EXPECT_EQ(message.message, WM_NETSTATUS_CHANGED);
    EXPECT_EQ(message.wParam, 1u) << "a default route connects";
    EXPECT_EQ(message.lParam, 0);
  }
  EXPECT_EQ(log.Count("CDetectNetStatus::MainProc Network Changed"), 1);
  EXPECT_TRUE(WaitUntil([&] { return DetectorIsWatching(); })) << "it watches on after posting";
}

}  // namespace
