#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <thread>

#include "platform/win32/Event.h"
#include "platform/win32/Thread.h"
#include "platform/win32/Wait.h"
#include "tests/support/Pump.h"

// A manual-reset event stays set until reset; an auto-reset one releases exactly one waiter
// per Set.
TEST(EventTest, ManualResetStaysSetAndAutoResetReleasesOneWaiter) {
  CEvent manual(CEvent::ResetMode::kManual);
  EXPECT_EQ(manual.Wait(0), WAIT_TIMEOUT);
  manual.Set();
  EXPECT_EQ(manual.Wait(0) + manual.Wait(0), 2 * WAIT_OBJECT_0);
  manual.Reset();
  EXPECT_EQ(manual.Wait(0), WAIT_TIMEOUT);

  CEvent event(CEvent::ResetMode::kAuto);
  std::atomic<int> released{0};
  auto waiter = [&] { released += event.Wait(5000) == WAIT_OBJECT_0; };
  std::thread a(waiter), b(waiter);
  event.Set();
  ASSERT_TRUE(WaitUntil([&] { return released.load() == 1; }));
  event.Set();
  a.join();
  b.join();
  EXPECT_EQ(released.load(), 2);
  EXPECT_EQ(event.Wait(0), WAIT_TIMEOUT);
}

// A recycled event's descriptor goes to the next recycled event, which must not inherit a
// signal left on it.
TEST(EventTest, RecycledEventStartsClearAfterOneDroppedWhileSignalled) {
  for (CEvent::ResetMode mode : {CEvent::ResetMode::kManual, CEvent::ResetMode::kAuto}) {
    {
      CEvent dropped(mode, false, CEvent::Source::kRecycled);
      dropped.Set();
    }
    CEvent next(mode, false, CEvent::Source::kRecycled);
    pollfd readable{next.WaitFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&readable, 1, 0), 0);
    EXPECT_EQ(next.Wait(0), WAIT_TIMEOUT);
    next.Set();
    EXPECT_EQ(next.Wait(0), WAIT_OBJECT_0);
  }
}

TEST(EventTest, WaitForMultipleObjectsPicksLowestSignalledIndex) {
  CEvent first, second, third;
  EXPECT_EQ(WaitForMultipleObjects({&first, &second, &third}, 10), WAIT_TIMEOUT);
  third.Set();
  second.Set();
  EXPECT_EQ(WaitForMultipleObjects({&first, &second, &third}, 0), WAIT_OBJECT_0 + 1);
}
