// Network-change detection through the exports, in a private namespace with a veth pair v0-v1
// (v0 has 10.0.0.1/24, no default route) that the test's own thread enters, so that the
// detector thread it starts watches that namespace and nothing else.
#include <gtest/gtest.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "netstatus/DetectNetStatus.h"
#include "netstatus/NetStatusService.h"
#include "platform/iphelper/IpChangeNotification.h"
#include "platform/win32/Thread.h"
#include "tests/support/LogCapture.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/NetNamespaceScope.h"
#include "tests/support/Pump.h"
#include "tests/support/TempFolder.h"
#include "zvnet/zvnetstatus.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Call {
  int32_t cookie;
  uint32_t param;
  ZV_NET_STATUS status;
  DWORD threadId;
  Clock::time_point at;
};

std::mutex callLock;
std::vector<Call> allCalls;  // every callback of the test, from whichever thread it ran on

int32_t ZV_STDCALL OnNetStatus(int32_t cookie, uint32_t param, ZV_NET_STATUS status) {
  std::lock_guard guard(callLock);
  allCalls.push_back({cookie, param, status, GetCurrentThreadId(), Clock::now()});
  return 0;
}

std::vector<Call> Calls() {
  std::lock_guard guard(callLock);
  return allCalls;
}

size_t CallCount() {
  return Calls().size();
}

class NetStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard guard(callLock);
      allCalls.clear();
    }
    ZVNET_REQUIRE_NAMESPACE(ns);
    ASSERT_TRUE(ns.AddLinkPair("v0", "v1"));
    ASSERT_TRUE(ns.Ip("addr add 10.0.0.1/24 dev v0"));
    scope = std::make_unique<CNetNamespaceScope>(ns);
    ASSERT_TRUE(scope->IsEntered());
  }
  void TearDown() override {
    for (int32_t cookie : cookies) ZvNetStatus::UnDetectNetStatus(cookie);
    CDetectNetStatus::SetArmFunctionsForTesting(nullptr, nullptr);
    scope.reset();
  }

  int32_t Register(uint32_t param) {
    int32_t cookie = -1;
    EXPECT_EQ(ZvNetStatus::DetectNetStatus(OnNetStatus, param, &cookie), S_OK);
    cookies.push_back(cookie);
    return cookie;
  }
  // The detector is in its wait, armed on both of its notification sockets (route and
  // address groups): any change from now on is seen.
  bool Watchers(int n) const {
    return ns.CountNetlinkListeners(RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE) == n &&
           ns.CountNetlinkListeners(RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR) == n;
  }
  bool DetectorIsWatching() const { return Watchers(1); }
  bool NothingWatches() const { return Watchers(0); }

  CLogCapture log;
  CNetNamespace ns;
  std::unique_ptr<CNetNamespaceScope> scope;
  std::vector<int32_t> cookies;  // unregistered at the end, whatever the test did
};

TEST_F(NetStatusTest, BurstOfChangesGivesOneCallbackOnceItSettles) {
  const int32_t cookie = Register(7);
  ASSERT_TRUE(WaitUntil([&] { return DetectorIsWatching(); }));

  // Changes well within the settling time of the one before; the last a burst of 1,000,
  // far more than a netlink socket holds unread.
  ASSERT_TRUE(ns.Ip("addr add 10.0.0.5/24 dev v0"));
  PumpFor(700ms);
  ASSERT_TRUE(ns.Ip("route add default via 10.0.0.2 dev v0"));
  PumpFor(700ms);
  std::string burst;
  for (const char* verb : {"add", "del"}) {
    for (int i = 0; i < 500; ++i) {
      burst += std::string("addr ") + verb + " 10.1." + std::to_string(i / 250) + "." +
               std::to_string(1 + i % 250) + "/32 dev v0\n";
    }
  }
  CTempFolder folder;
  folder.Write("burst", burst);
  const Clock::time_point lastChange = Clock::now();
  ASSERT_TRUE(ns.Ip("-batch " + folder.Path("burst").string()));

  ASSERT_TRUE(PumpUntil([&] { return CallCount() >= 1; }, 10s));
  PumpFor(200ms);
  const std::vector<Call> calls = Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].cookie, cookie);
  EXPECT_EQ(calls[0].param, 7u);
  EXPECT_EQ(calls[0].status, ZV_NET_CONNECTED);
  EXPECT_EQ(calls[0].threadId, GetCurrentThreadId());
  const auto delay =
      std::chrono::duration_cast<std::chrono::milliseconds>(calls[0].at - lastChange).count();
  EXPECT_GE(delay, 3000) << "the burst was not allowed to settle after its last change";
  RecordProperty("change_to_callback_ms", static_cast<int>(delay));
  EXPECT_EQ(log.Count("CDetectNetStatus::MainProc Network Changed"), 1);
  EXPECT_EQ(log.Count("CNetStatusService::OnMulThreadProxyMsg Msg: 2274   Param: 1"), 1);
  EXPECT_EQ(log.Count("CNetStatusService::OnMulThreadProxyMsg WM_NETSTATUS_CHANGED"), 1);

  // Losing the default route disconnects.
  ASSERT_TRUE(ns.Ip("route del default"));
  ASSERT_TRUE(PumpUntil([&] { return CallCount() >= 2; }, 10s));
  const Call lost = Calls()[1];
  EXPECT_EQ(lost.cookie, cookie);
  EXPECT_EQ(lost.param, 7u);
  EXPECT_EQ(lost.status, ZV_NET_DISCONNECTED);
  EXPECT_EQ(log.Count("CNetStatusService::OnMulThreadProxyMsg Msg: 2274   Param: 0"), 1);
}

// Each thread's callbacks run on that thread; a thread registered twice gets two callbacks,
// both of its lower cookie.
TEST_F(NetStatusTest, EachThreadGetsItsOwnCallbacksOnItsOwnThread) {
  std::atomic<int32_t> theirCookie{0};
  std::atomic<DWORD> theirThread{0};
  // A jthread: an assertion that leaves early still stops and joins it.
  std::jthread other([&](std::stop_token stop) {
    CNetNamespaceScope inside(ns);
    int32_t cookie = -1;
    if (!inside.IsEntered() || ZvNetStatus::DetectNetStatus(OnNetStatus, 3, &cookie) != S_OK) {
      return;
    }
    theirThread = GetCurrentThreadId();
    theirCookie = cookie;
    PumpUntil([&] { return stop.stop_requested(); }, 20s);
    ZvNetStatus::UnDetectNetStatus(cookie);
  });
  ASSERT_TRUE(WaitUntil([&] { return theirCookie.load() != 0; }));
  const int32_t lower = Register(1);
  // A thread that ends without unregistering leaves an entry whose window is gone; the
  // entries after it are still told.
  std::thread([&] {
    CNetNamespaceScope inside(ns);
    EXPECT_EQ(ZvNetStatus::DetectNetStatus(OnNetStatus, 9, nullptr), S_OK);
  }).join();
  const int32_t higher = Register(2);
  EXPECT_EQ(higher, lower + 2);
  cookies.push_back(lower + 1);  // the ended thread's: its entry would keep the detector running
  ASSERT_TRUE(WaitUntil([&] { return DetectorIsWatching(); })) << "one detector for all";

  ASSERT_TRUE(ns.Ip("route add default via 10.0.0.2 dev v0"));
  const bool all = PumpUntil(
      [&] {
        const std::vector<Call> all = Calls();
        auto on = [&](DWORD thread) {
          return std::count_if(all.begin(), all.end(),
                               [&](const Call& call) { return call.threadId == thread; });
        };
        return on(GetCurrentThreadId()) >= 2 && on(theirThread) >= 1;
      },
      10s);
  PumpFor(200ms);
  other.request_stop();
  other.join();
  ASSERT_TRUE(all);
  ASSERT_EQ(CallCount(), 3u) << "a callback for the ended thread";
  for (const Call& call : Calls()) {
    const bool mine = call.threadId == GetCurrentThreadId();
    EXPECT_EQ(call.cookie, mine ? lower : theirCookie.load());
    EXPECT_EQ(call.param, mine ? 1u : 3u);
    EXPECT_EQ(call.status, ZV_NET_CONNECTED);
  }
}

// Refused calls change nothing. Unregistering stops the detector before its first wait, while it
// waits, and while it lets a change settle: each stop ends the thread at once, none lets a callback
// through. A later registration starts a detector that is told of changes again.
TEST_F(NetStatusTest, RefusedCallsNoMissedStopAndARestartedDetector) {
  if (!CNetStatusService::Instance()) {
    // Only true when this case runs in a process of its own, as ctest runs it.
    EXPECT_EQ(ZvNetStatus::UnDetectNetStatus(1), E_FAIL) << "no service yet";
  }
  int32_t refused = -1;
  EXPECT_EQ(ZvNetStatus::DetectNetStatus(nullptr, 0, &refused), E_INVALIDARG);
  EXPECT_EQ(refused, -1);
  EXPECT_EQ(ZvNetStatus::UnDetectNetStatus(0x7FFFFFFF), E_INVALIDARG);
  EXPECT_EQ(log.Count("ZvNetStatus::Init. Refer: "), 1) << "a refused call counts too";

  constexpr int kRounds = 30;
  int32_t previous = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    int32_t cookie = -1;
    ASSERT_EQ(ZvNetStatus::DetectNetStatus(OnNetStatus, 1, &cookie), S_OK);
    EXPECT_GT(cookie, previous) << "cookies are never reused";
    previous = cookie;
    if (round % 3 >= 1) {
      ASSERT_TRUE(WaitUntil([&] { return DetectorIsWatching(); }));
    }
    if (round % 3 == 2) {
      ASSERT_TRUE(ns.Ip("addr add 10.0.0." + std::to_string(10 + round) + "/32 dev v0"));
    }
    ASSERT_EQ(ZvNetStatus::UnDetectNetStatus(cookie), S_OK);
    EXPECT_TRUE(NothingWatches()) << "the detector thread still runs";
  }
  EXPECT_EQ(log.Count("CDetectNetStatus::MainProc Abort"), kRounds);
  EXPECT_EQ(log.Count("Wait For Thread Exit Timeout"), 0);
  PumpFor(50ms);
  EXPECT_EQ(CallCount(), 0u) << "a stopped detector posted";

  // The cookie pointer may be null; the registration still takes the next cookie. Of a
  // thread's registrations the lowest is told.
  EXPECT_EQ(ZvNetStatus::DetectNetStatus(OnNetStatus, 2, nullptr), S_OK);
  const int32_t last = Register(2);
  ASSERT_TRUE(WaitUntil([&] { return DetectorIsWatching(); }));
  EXPECT_EQ(ZvNetStatus::UnDetectNetStatus(last - 1), S_OK);
  EXPECT_EQ(ZvNetStatus::UnDetectNetStatus(last - 1), E_INVALIDARG) << "already removed";
  EXPECT_TRUE(DetectorIsWatching()) << "one registration is left";
  ASSERT_TRUE(ns.Ip("route add default via 10.0.0.2 dev v0"));
  ASSERT_TRUE(PumpUntil([&] { return CallCount() >= 1; }, 10s));
  EXPECT_EQ(Calls()[0].cookie, last);
}

// Arms as the system does until `refuseArms` is set, then refuses, as a system short of
// resources would.
std::atomic<bool> refuseArms{false};

DWORD ArmAddressChange(CIpChangeNotification& notification) {
  return refuseArms ? ENOBUFS : NotifyAddrChange(notification);
}

// The detector cannot arm its notifications any more: it tells every window once and forgets
// them. Each delivery removes one registration of the thread, lowest cookie first.
TEST_F(NetStatusTest, ErrorExitRemovesOneRegistrationPerDelivery) {
  refuseArms = false;
  CDetectNetStatus::SetArmFunctionsForTesting(nullptr, ArmAddressChange);
  const int32_t lower = Register(1);
  const int32_t higher = Register(2);
  ASSERT_TRUE(WaitUntil([&] { return DetectorIsWatching(); }));

  refuseArms = true;
  // The change wakes the detector, whose next arm then fails.
  ASSERT_TRUE(ns.Ip("addr add 10.0.0.7/24 dev v0"));
  const bool delivered = PumpUntil([&] { return CallCount() >= 2; }, 10s);
  CDetectNetStatus::SetArmFunctionsForTesting(nullptr, nullptr);
  ASSERT_TRUE(delivered);
  PumpFor(200ms);
  const std::vector<Call> calls = Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].cookie, lower);
  EXPECT_EQ(calls[0].param, 1u);
  EXPECT_EQ(calls[1].cookie, higher);
  EXPECT_EQ(calls[1].param, 2u);
  for (const Call& call : calls) EXPECT_EQ(call.status, ZV_NET_DETECT_EXIT);
  EXPECT_EQ(ZvNetStatus::UnDetectNetStatus(lower), E_INVALIDARG);
  EXPECT_EQ(ZvNetStatus::UnDetectNetStatus(higher), E_INVALIDARG);
  EXPECT_EQ(log.Count("CDetectNetStatus::MainProc Error"), 1);
  EXPECT_EQ(log.Count("CNetStatusService::OnMulThreadProxyMsg WM_NETSTATUS_EXIT"), 2);

  // A later registration is watched by a new detector thread.
  const int32_t later = Register(3);
  ASSERT_TRUE(WaitUntil([&] { return DetectorIsWatching(); }));
  ASSERT_TRUE(ns.Ip("route add default via 10.0.0.2 dev v0"));
  ASSERT_TRUE(PumpUntil([&] { return CallCount() >= 3; }, 10s));
  EXPECT_EQ(Calls()[2].cookie, later);
  EXPECT_EQ(Calls()[2].status, ZV_NET_CONNECTED);
}

}  // namespace
