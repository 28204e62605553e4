// Network-change detection through the exports, in a private namespace with a veth pair v0-v1
// (v0 has 10.0.0.1/24, no default route) that the test's own thread enters, so that the
// detector thread it starts watches that namespace and nothing else.
#include <gmock/gmock.h>
#include <linux/rtnetlink.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "netstatus/DetectNetStatus.h"
#include "netstatus/NetStatusService.h"
#include "platform/iphelper/InternetConnectedState.h"
#include "platform/iphelper/IpChangeNotification.h"
#include "platform/win32/Thread.h"
#include "tests/support/LogCapture.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/NetNamespaceScope.h"
#include "tests/support/Pump.h"
#include "tests/support/TempFolder.h"
#include "zvnet/zvnetstatus.h"

namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using Clock = std::chrono::steady_clock;

// A callback as the tests expect it: "cookie/param/status".
std::string Said(int32_t cookie, uint32_t param, ZV_NET_STATUS status) {
  return std::to_string(cookie) + "/" + std::to_string(param) + "/" + std::to_string(status);
}

struct Call {
  std::string said;
  DWORD threadId;
  Clock::time_point at;
};

std::mutex callLock;
std::vector<Call> allCalls;  // every callback of the test, from whichever thread it ran on

int32_t ZV_STDCALL OnNetStatus(int32_t cookie, uint32_t param, ZV_NET_STATUS status) {
  std::lock_guard guard(callLock);
  allCalls.push_back({Said(cookie, param, status), GetCurrentThreadId(), Clock::now()});
  return 0;
}

// The callbacks so far; `clear` forgets them.
std::vector<Call> Calls(bool clear = false) {
  std::lock_guard guard(callLock);
  return clear ? std::exchange(allCalls, {}) : allCalls;
}

std::vector<std::string> Told() {
  std::vector<std::string> told;
  for (const Call& call : Calls()) told.push_back(call.said);
  return told;
}

class NetStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Calls(true);
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
  // With `watching`, the detector is in its wait, armed on both of its notification sockets
  // (route, and address and link groups): any change from now on is seen. Otherwise none is
  // armed.
  bool Watches(bool watching = true) const {
    return ns.CountNetlinkListeners(RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE) == watching &&
           ns.CountNetlinkListeners(RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_LINK) ==
               watching;
  }

  CLogCapture log;
  CNetNamespace ns;
  std::unique_ptr<CNetNamespaceScope> scope;
  std::vector<int32_t> cookies;  // unregistered at the end, whatever the test did
};

TEST_F(NetStatusTest, BurstOfChangesGivesOneCallbackOnceItSettles) {
  const int32_t cookie = Register(7);
  ASSERT_TRUE(WaitUntil([&] { return Watches(); }));

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

  ASSERT_TRUE(PumpUntil([&] { return Calls().size() >= 1; }, 10s));
  PumpFor(200ms);
  EXPECT_THAT(Told(), ElementsAre(Said(cookie, 7, ZV_NET_CONNECTED)));
  EXPECT_EQ(Calls()[0].threadId, GetCurrentThreadId());
  EXPECT_GE(Calls()[0].at - lastChange, 3000ms) << "the burst did not settle after its last change";
  EXPECT_EQ(log.Count("CDetectNetStatus::MainProc Network Changed"), 1);

  // Losing the default route disconnects.
  ASSERT_TRUE(ns.Ip("route del default"));
  ASSERT_TRUE(PumpUntil([&] { return Calls().size() >= 2; }, 10s));
  EXPECT_EQ(Told()[1], Said(cookie, 7, ZV_NET_DISCONNECTED));
}

// Each thread's callbacks run on that thread; a thread registered twice gets two callbacks,
// both of its lower cookie.
TEST_F(NetStatusTest, EachThreadGetsItsOwnCallbacksOnItsOwnThread) {
  std::atomic<int32_t> theirCookie{0};
  // A jthread: an assertion that leaves early still stops and joins it.
  std::jthread other([&](std::stop_token stop) {
    CNetNamespaceScope inside(ns);
    int32_t cookie = -1;
    if (!inside.IsEntered() || ZvNetStatus::DetectNetStatus(OnNetStatus, 3, &cookie) != S_OK) {
      return;
    }
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
  ASSERT_TRUE(WaitUntil([&] { return Watches(); })) << "one detector for all";

  ASSERT_TRUE(ns.Ip("route add default via 10.0.0.2 dev v0"));
  const bool all = PumpUntil([&] { return Calls().size() >= 3; }, 10s);
  PumpFor(200ms);
  other.request_stop();
  other.join();
  ASSERT_TRUE(all);
  const std::string mine = Said(lower, 1, ZV_NET_CONNECTED);
  EXPECT_THAT(Told(), UnorderedElementsAre(mine, mine, Said(theirCookie, 3, ZV_NET_CONNECTED)))
      << "nothing for the ended thread";
  for (const Call& call : Calls()) {
    EXPECT_EQ(call.threadId == GetCurrentThreadId(), call.said == mine) << call.said;
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
      ASSERT_TRUE(WaitUntil([&] { return Watches(); }));
    }
    if (round % 3 == 2) {
      ASSERT_TRUE(ns.Ip("addr add 10.0.0." + std::to_string(10 + round) + "/32 dev v0"));
    }
    ASSERT_EQ(ZvNetStatus::UnDetectNetStatus(cookie), S_OK);
    EXPECT_TRUE(Watches(false)) << "the detector thread still runs";
  }
  EXPECT_EQ(log.Count("CDetectNetStatus::MainProc Abort"), kRounds);
  EXPECT_EQ(log.Count("Wait For Thread Exit Timeout"), 0);
  PumpFor(50ms);
  EXPECT_EQ(Calls().size(), 0u) << "a stopped detector posted";

  const int32_t removed = Register(2), last = Register(2);
  ASSERT_TRUE(WaitUntil([&] { return Watches(); }));
  EXPECT_EQ(ZvNetStatus::UnDetectNetStatus(removed), S_OK);
  EXPECT_TRUE(Watches()) << "one registration is left";
  ASSERT_TRUE(ns.Ip("route add default via 10.0.0.2 dev v0"));
  ASSERT_TRUE(PumpUntil([&] { return Calls().size() >= 1; }, 10s));
  EXPECT_EQ(Told()[0], Said(last, 2, ZV_NET_CONNECTED));
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
  ASSERT_TRUE(WaitUntil([&] { return Watches(); }));

  refuseArms = true;
  // The change wakes the detector, whose next arm then fails.
  ASSERT_TRUE(ns.Ip("addr add 10.0.0.7/24 dev v0"));
  const bool delivered = PumpUntil([&] { return Calls().size() >= 2; }, 10s);
  CDetectNetStatus::SetArmFunctionsForTesting(nullptr, nullptr);
  ASSERT_TRUE(delivered);
  PumpFor(200ms);
  EXPECT_THAT(Told(),
              ElementsAre(Said(lower, 1, ZV_NET_DETECT_EXIT), Said(higher, 2, ZV_NET_DETECT_EXIT)));
  EXPECT_EQ(ZvNetStatus::UnDetectNetStatus(lower), E_INVALIDARG);
  EXPECT_EQ(ZvNetStatus::UnDetectNetStatus(higher), E_INVALIDARG);
  EXPECT_EQ(log.Count("CDetectNetStatus::MainProc Error"), 1);

  // A later registration is watched by a new detector thread.
  const int32_t later = Register(3);
  ASSERT_TRUE(WaitUntil([&] { return Watches(); }));
  ASSERT_TRUE(ns.Ip("route add default via 10.0.0.2 dev v0"));
  ASSERT_TRUE(PumpUntil([&] { return Calls().size() >= 3; }, 10s));
  EXPECT_EQ(Told()[2], Said(later, 3, ZV_NET_CONNECTED));
}

// Only changes that matter to a host are reported: usable global addresses coming and going,
// default routes of the main table, links going up or down. Each row runs its commands and
// expects one callback (its burst, once settled) or none. A row that expects none is followed
// by one that expects one: the detector still listens, and the callback is that row's alone.
TEST_F(NetStatusTest, OnlyChangesThatMatterAreReported) {
  // Known before the detector starts, so its refreshes are of an address it has never been told
  // of by a change.
  ASSERT_TRUE(ns.Ip("-6 addr add 2001:db8::1/64 dev v0 nodad"));
  auto refreshes = [](const std::string& address, int count) {
    std::vector<std::string> commands;
    for (int i = 0; i < count; ++i) {
      commands.push_back("-6 addr change " + address + " dev v0 preferred_lft " +
                         std::to_string(600 + i) + " valid_lft " + std::to_string(1200 + i));
    }
    return commands;
  };
  const struct {
    const char* why;
    std::vector<std::string> commands;
    bool told;
  } rows[] = {
      {"lifetime refreshes of an address there before", refreshes("2001:db8::1/64", 20), false},
      {"global IPv6 address added (after its DAD)", {"-6 addr add 2001:db8::2/64 dev v0"}, true},
      {"refreshes of the address added", refreshes("2001:db8::2/64", 4), false},
      // Removed a few milliseconds after it came, well within the second its DAD takes.
      {"tentative address gone before its DAD ended",
       {"-6 addr add 2001:db8::3/64 dev v0", "-6 addr del 2001:db8::3/64 dev v0"},
       false},
      {"link-local and loopback addresses, other routes, another table",
       {"-6 addr add fe80::5/64 dev v0", "addr add 169.254.1.1/16 dev v0",
        "addr add 127.0.0.2/8 dev lo", "-6 addr add fe80::6/64 dev v0",
        "route add 192.0.2.0/24 via 10.0.0.2", "-6 route add 2001:db8:1::/48 via 2001:db8::9",
        "route add default via 10.0.0.2 table 100", "-6 addr del fe80::5/64 dev v0",
        "route del 192.0.2.0/24"},
       false},
      {"default route added", {"route add default via 10.0.0.2 dev v0"}, true},
      {"default route replaced", {"route replace default via 10.0.0.3 dev v0"}, true},
      {"link attributes other than up and down",
       {"link set v0 mtu 1400", "link set v0 alias a"},
       false},
      {"link down", {"link set v0 down"}, true},
      {"link up", {"link set v0 up"}, true},
      {"global IPv4 address removed", {"addr del 10.0.0.1/24 dev v0"}, true},
  };
  const int32_t cookie = Register(5);
  ASSERT_TRUE(WaitUntil([&] { return Watches(); }));
  const auto settle = std::chrono::milliseconds(CDetectNetStatus::kSettleMs);
  size_t told = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    for (const std::string& command : row.commands) {
      ASSERT_TRUE(ns.Ip(command)) << command;
      // Refreshes are spread over ten seconds, as a router's would be over minutes.
      if (command.find(" change ") != std::string::npos) PumpFor(500ms);
    }
    if (row.told) {
      ASSERT_TRUE(PumpUntil([&] { return Calls().size() >= told + 1; }, settle + 15s));
      ++told;
    } else {
      // Long enough for a wrongly counted change to settle and be told.
      PumpFor(settle + 1500ms);
    }
    ASSERT_EQ(Calls().size(), told);
  }
  PumpFor(settle + 1500ms);
  EXPECT_EQ(Calls().size(), told) << "a burst was told twice";
  for (const Call& call : Calls()) {
    EXPECT_EQ(call.said.rfind(std::to_string(cookie) + "/5/", 0), 0u) << call.said;
  }
}

// Only a default route through an up interface other than loopback connects. The rows change
// the namespace's routes one after another.
TEST_F(NetStatusTest, ADefaultRouteThroughAnUpInterfaceConnects) {
  const struct {
    std::vector<std::string> commands;
    bool connected;
    const char* why;
  } rows[] = {
      {{"-6 addr add fd00::1/64 dev v0 nodad"}, false, "addresses"},
      {{"route add default via 10.0.0.2 dev v0"}, true, "default route"},
      {{"route del default", "-6 route add default via fd00::2 dev v0"}, true, "IPv6"},
      {{"-6 route del default", "addr add 10.0.1.1/24 dev v1",
        "route add default nexthop via 10.0.0.2 dev v0 nexthop via 10.0.1.2 dev v1"},
       true,
       "multipath"},
      {{"route del default", "route add default dev lo"}, false, "through loopback"},
      {{"route del default dev lo", "route add unreachable default"}, false, "unreachable"},
      {{"route del unreachable default", "route add blackhole default"}, false, "blackhole"},
      {{"route del blackhole default", "route add prohibit default"}, false, "prohibit"},
      {{"route del prohibit default", "route add 192.0.2.0/24 via 10.0.0.2 dev v0"},
       false,
       "not the default route"},
      {{"route add default via 10.0.0.2 dev v0", "link set v0 down"}, false, "interface down"},
  };
  for (const auto& row : rows) {
    for (const std::string& command : row.commands) ASSERT_TRUE(ns.Ip(command)) << command;
    DWORD flags = 0xFFFF;
    EXPECT_EQ(InternetGetConnectedState(&flags, 0) == TRUE, row.connected) << row.why;
    EXPECT_EQ(flags, row.connected ? INTERNET_CONNECTION_LAN : 0u) << row.why;
  }
}

}  // namespace

namespace {

// Answers as the system does, then, once armed, removes the default route before it returns:
// a change right after the query. `gapCommand` runs on the detector thread, in its namespace.
std::atomic<const CNetNamespace*> gapNamespace{nullptr};

BOOL QueryThenRemoveDefaultRoute(DWORD* flags, DWORD reserved) {
  const BOOL connected = InternetGetConnectedState(flags, reserved);
  if (const CNetNamespace* ns = gapNamespace.exchange(nullptr)) ns->Ip("route del default");
  return connected;
}

}  // namespace

// The detector watches for the next change before it asks for the state after one: a change
// made right after that query is reported too, after its own settling time.
TEST_F(NetStatusTest, AChangeRightAfterTheQueryIsReported) {
  CDetectNetStatus::SetConnectedQueryForTesting(QueryThenRemoveDefaultRoute);
  const int32_t cookie = Register(5);
  ASSERT_TRUE(WaitUntil([&] { return Watches(); }));
  gapNamespace = &ns;
  ASSERT_TRUE(ns.Ip("route add default via 10.0.0.2 dev v0"));
  const bool both = PumpUntil([&] { return Calls().size() >= 2; }, 12s);
  CDetectNetStatus::SetConnectedQueryForTesting(nullptr);
  gapNamespace = nullptr;
  EXPECT_TRUE(both) << "the change after the query was missed";
  EXPECT_THAT(Told(),
              ElementsAre(Said(cookie, 5, ZV_NET_CONNECTED), Said(cookie, 5, ZV_NET_DISCONNECTED)));
}

// After the largest cookie the count starts again at 1, passing over the cookies of
// registrations that are still in place.
TEST_F(NetStatusTest, CookiesWrapAfterTheLargestAndSkipThoseStillInUse) {
  const int32_t first = Register(1);
  CNetStatusService::Instance()->SetNextCookieForTesting(INT32_MAX);
  const int32_t largest = Register(2);
  const int32_t wrapped = Register(3);
  CNetStatusService::Instance()->SetNextCookieForTesting(INT32_MAX);
  const int32_t again = Register(4);
  EXPECT_EQ(largest, INT32_MAX);
  int32_t expected = 1;
  while (expected == first) ++expected;
  EXPECT_EQ(wrapped, expected);
  do ++expected;
  while (expected == first);
  EXPECT_EQ(again, expected) << "skips the largest, the first and the wrapped one";
  for (int32_t cookie : {first, largest, wrapped, again}) {
    EXPECT_EQ(ZvNetStatus::UnDetectNetStatus(cookie), S_OK) << cookie;
  }
  cookies.clear();
}
