// A burst of 1,000 address changes in a test namespace, far more than a netlink socket's
// buffer holds unread: once it settles, every registration gets exactly one callback, on its
// own thread, and the watcher keeps watching.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Thread.h"
#include "tests/faults/FaultSeed.h"
#include "tests/netstatus/NetStatusFixture.h"
#include "zvnet/zvmsgloop.h"
#include "zvnet/zvnetstatus.h"

namespace {

struct NetCall {
  int32_t cookie;
  ZV_NET_STATUS status;
  DWORD threadId;
};

std::mutex callsMutex;  // guards calls
std::vector<NetCall> calls;

int32_t ZV_STDCALL OnNetStatus(int32_t cookie, uint32_t, ZV_NET_STATUS status) {
  std::lock_guard guard(callsMutex);
  calls.push_back({cookie, status, GetCurrentThreadId()});
  return 0;
}

std::vector<NetCall> Calls() {
  std::lock_guard guard(callsMutex);
  return calls;
}

// `ip -batch` lines: 500 addresses added and removed again, in a seeded order.
std::string BurstScript(uint64_t seed) {
  std::vector<std::string> addresses;
  for (int i = 0; i < 500; ++i) {
    addresses.push_back("10.1." + std::to_string(i / 250) + "." + std::to_string(1 + i % 250));
  }
  for (size_t i = addresses.size() - 1; i > 0; --i) {
    std::swap(addresses[i], addresses[FaultMix(seed, i) % (i + 1)]);
  }
  std::string script;
  for (const std::string& address : addresses) script += "addr add " + address + "/32 dev v0\n";
  for (const std::string& address : addresses) script += "addr del " + address + "/32 dev v0\n";
  return script;
}

}  // namespace

class NetlinkBurstTest : public NetStatusFixture {};

TEST_F(NetlinkBurstTest, ThousandChangesGiveOneCallbackPerRegistration) {
  const uint64_t seed = FaultSeed();
  const std::string script = ::testing::TempDir() + "zvnet-burst-" + std::to_string(::getpid());
  std::ofstream(script) << BurstScript(seed);

  int32_t here[3] = {};
  for (int32_t& cookie : here) {
    ASSERT_EQ(ZvNetStatus::DetectNetStatus(OnNetStatus, 1, &cookie), 0);
  }
  ASSERT_TRUE(WaitUntil([&] { return DetectorIsWatching(); }));

  // A second host thread with one registration of its own, pumping until told to stop.
  std::atomic<bool> stop{false};
  std::atomic<int32_t> there{-1};
  DWORD thereThread = 0;
  std::thread other([&] {
    thereThread = GetCurrentThreadId();
    int32_t cookie = -1;
    EXPECT_EQ(ZvNetStatus::DetectNetStatus(OnNetStatus, 2, &cookie), 0);
    there = cookie;
    while (!stop.load()) ZvMsgLoop::Pump(20);
    ZvNetStatus::UnDetectNetStatus(cookie);
  });
  ASSERT_TRUE(WaitUntil([&] { return there.load() >= 0; }));

  ASSERT_TRUE(ns.Ip("-batch " + script));
  ::unlink(script.c_str());
  ASSERT_TRUE(PumpUntil([&] { return Calls().size() >= 4; }, 20s)) << Calls().size();
  PumpFor(4000ms);  // longer than the settling time: nothing more may come
  const std::vector<NetCall> got = Calls();
  EXPECT_EQ(got.size(), 4u);
  // Registrations of one thread share its window; each still gets its own callback (they
  // carry the thread's lowest cookie).
  int onThisThread = 0, onOther = 0;
  for (const NetCall& call : got) {
    EXPECT_NE(call.status, ZV_NET_DETECT_EXIT);
    if (call.threadId == GetCurrentThreadId()) {
      ++onThisThread;
      EXPECT_EQ(call.cookie, here[0]);
    } else {
      ++onOther;
      EXPECT_EQ(call.threadId, thereThread);
      EXPECT_EQ(call.cookie, there.load());
    }
  }
  EXPECT_EQ(onThisThread, 3);
  EXPECT_EQ(onOther, 1);
  EXPECT_TRUE(DetectorIsWatching()) << "the watcher gave up after the burst";

  stop = true;
  other.join();
  for (int32_t cookie : here) EXPECT_EQ(ZvNetStatus::UnDetectNetStatus(cookie), 0);
  std::cout << "[ netlink  ] 1000 address changes, " << got.size()
            << " callbacks for 4 registrations" << std::endl;
}
