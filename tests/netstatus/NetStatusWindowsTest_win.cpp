// The network-status family of the Windows build: registrations from two threads start the
// detector and removing them ends it. Wine 8 answers NotifyAddrChange as pending but never
// signals a change, and answers NotifyRouteChange with ERROR_NOT_SUPPORTED, so under Wine the
// detector takes its error exit: each registering thread then gets ZV_NET_DETECT_EXIT on its
// own thread and its registration is gone. Where both notifications arm, no exit comes. The
// change callbacks themselves cannot be shown under Wine.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/support/Pump.h"
#include "zvnet/zvnetstatus.h"

// After windows.h (through the support header).
#include <iphlpapi.h>

namespace {

// Exits by registration param (1: the test's thread, 2: the other), and whether each came on
// the thread that registered it.
std::atomic<int> exits[3];
std::atomic<DWORD> registeredOn[3];
std::atomic<bool> wrongThread{false};

int32_t ZV_STDCALL OnNetStatus(int32_t, uint32_t param, ZV_NET_STATUS status) {
  if (status != ZV_NET_DETECT_EXIT || param > 2) return 0;
  exits[param]++;
  if (::GetCurrentThreadId() != registeredOn[param]) wrongThread = true;
  return 0;
}

// Whether this system arms route-change notifications (Wine 8 does not).
bool RouteNotificationsWork() {
  OVERLAPPED overlapped{};
  overlapped.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE unused = nullptr;
  const bool armed = ::NotifyRouteChange(&unused, &overlapped) == ERROR_IO_PENDING;
  if (armed) ::CancelIPChangeNotify(&overlapped);
  ::CloseHandle(overlapped.hEvent);
  return armed;
}

}  // namespace

TEST(NetStatusWindowsTest, RegistrationsOnTwoThreadsEachHearOnTheirOwnThread) {
  const bool watching = RouteNotificationsWork();
  std::printf("  route-change notifications %s here\n", watching ? "work" : "are not supported");
  EXPECT_EQ(ZvNetStatus::DetectNetStatus(nullptr, 0, nullptr), E_INVALIDARG);
  for (int round = 0; round < 2; ++round) {  // the second round starts a new detector
    SCOPED_TRACE(round);
    exits[1] = exits[2] = 0;
    registeredOn[1] = ::GetCurrentThreadId();
    int32_t mine = 0;
    ASSERT_EQ(ZvNetStatus::DetectNetStatus(OnNetStatus, 1, &mine), 0);
    int32_t theirs = 0;
    long theirsRemoved = 0;
    std::thread other([&] {
      registeredOn[2] = ::GetCurrentThreadId();
      if (ZvNetStatus::DetectNetStatus(OnNetStatus, 2, &theirs) != 0) return;
      // The error exit comes at once when a notification cannot be armed; where both arm,
      // a second without it shows that none came.
      PumpUntil([] { return exits[2] > 0; }, watching ? 1s : 20s);
      theirsRemoved = ZvNetStatus::UnDetectNetStatus(theirs);
    });
    PumpUntil([] { return exits[1] > 0; }, watching ? 1s : 20s);
    other.join();
    EXPECT_NE(mine, theirs);
    EXPECT_FALSE(wrongThread) << "a callback ran on a thread that did not register it";
    if (watching) {
      EXPECT_EQ(exits[1] + exits[2], 0);
      EXPECT_EQ(theirsRemoved, 0);
      EXPECT_EQ(ZvNetStatus::UnDetectNetStatus(mine), 0);
    } else {
      EXPECT_EQ(exits[1], 1);
      EXPECT_EQ(exits[2], 1);
      EXPECT_EQ(theirsRemoved, E_INVALIDARG);  // the exit removed it
    }
    EXPECT_EQ(ZvNetStatus::UnDetectNetStatus(mine), E_INVALIDARG);
  }
}
