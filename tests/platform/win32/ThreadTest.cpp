#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/win32/Event.h"
#include "platform/win32/Thread.h"
#include "tests/support/Pump.h"

// An owner may give up on a thread that outlives it: destroyed while running, it is detached.
TEST(ThreadTest, WaitReportsTheEndOrTimesOutAndTheOwnerMayGiveUp) {
  auto release = std::make_shared<CEvent>();
  std::atomic<bool> finished{false};
  {
    CThread thread;
    ASSERT_TRUE(thread.Start([release, &finished] {
      release->Wait(INFINITE);
      finished = true;
    }));
    EXPECT_EQ(thread.Wait(20), WAIT_TIMEOUT);
  }
  release->Set();
  EXPECT_TRUE(WaitUntil([&] { return finished.load(); }));
  CThread ended;
  ASSERT_TRUE(ended.Start([] {}));
  EXPECT_EQ(ended.Wait(10000), WAIT_OBJECT_0);
}
