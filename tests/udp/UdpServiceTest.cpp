// The family's life cycle and bookkeeping through the exports: use counts, refused calls,
// ids and cookies, the channel limit, closing, stopping and the one-shot task limit.
#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "tests/udp/SendToHook.h"
#include "tests/udp/UdpFamilyTest.h"
#include "udp/UdpTask.h"
#include "zvnet/zvmsgloop.h"

namespace {

// What each open descriptor is ("socket:[…]", "anon_inode:[eventfd]", …), for a failure message.
std::string OpenFdTargets() {
  std::string targets;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (dirent* entry = ::readdir(dir)) {
      char target[256] = {};
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      if (::readlink(link.c_str(), target, sizeof target - 1) > 0) {
        targets += std::string(" ") + entry->d_name + "=" + target;
      }
    }
    ::closedir(dir);
  }
  return targets;
}

int OpenFdCount() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir)) ++count;
    ::closedir(dir);
  }
  return count;
}

void ExpectEveryCallRefused() {
  int id = 0;
  tagUdpServer target{"127.0.0.1", 9};
  tagUdpTaskParam param{"127.0.0.1", 9, "x"};
  EXPECT_EQ(ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &target, &id), E_FAIL);
  EXPECT_EQ(ZvUdp::CloseChannel(1), E_FAIL);
  EXPECT_EQ(ZvUdp::SendData(1, "x", nullptr, nullptr, 100, 0, nullptr, false), E_FAIL);
  EXPECT_EQ(ZvUdp::SendData(&param, nullptr, 100, nullptr), E_FAIL);
  EXPECT_EQ(ZvUdp::StopTask(1), E_FAIL);
  EXPECT_EQ(ZvUdp::SetMaxTaskNum(3), E_FAIL);
}

}  // namespace

TEST_F(UdpFamilyTest, InitAndUninitAreCountedAndTheLastUninitEndsTheService) {
  EXPECT_TRUE(log.Contains("ZvUdp::Init for 1 times"));
  ASSERT_EQ(ZvUdp::Init(), S_OK);
  EXPECT_TRUE(log.Contains("ZvUdp::Init for 2 times"));
  const int first = CreateChannel(UDP_CHANNEL_DUPLEX);
  EXPECT_EQ(first, 1);

  EXPECT_EQ(ZvUdp::Uninit(), S_OK);
  EXPECT_TRUE(log.Contains("ZvUdp::Uninit for 1 times"));
  const int kept = Send(first, "still here");
  EXPECT_TRUE(WaitForSummary(kept, "S1 R0:still here")) << Summary(kept);

  EXPECT_EQ(ZvUdp::Uninit(), S_OK);
  EXPECT_TRUE(log.Contains("ZvUdp::Uninit for 0 times"));
  ExpectEveryCallRefused();
  EXPECT_EQ(ZvUdp::Uninit(), S_OK) << "an Uninit without Init";
  EXPECT_EQ(log.Count("ZvUdp::Uninit for 0 times"), 2);

  // A new service counts its ids and cookies from 1 again.
  CUdpCallbackLog::Get().Clear();
  ASSERT_EQ(ZvUdp::Init(), S_OK);
  EXPECT_TRUE(log.Contains("ZvUdp::Init for 1 times"));
  const int again = CreateChannel(UDP_CHANNEL_DUPLEX);
  EXPECT_EQ(again, 1);
  const int cookie = Send(again, "fresh");
  EXPECT_EQ(cookie, 1);
  EXPECT_TRUE(WaitForSummary(cookie, "S1 R0:fresh")) << Summary(cookie);
}

TEST_F(UdpFamilyTest, RefusedCallsUseNoIdAndNoCookieAndBothFormsShareTheCookies) {
  int id = -1;
  tagUdpServer target{"127.0.0.1", server.Port()};
  host->Call([&] {
    EXPECT_EQ(ZvUdp::CreateChannel(static_cast<UDP_CHANNEL_TYPE>(4), &target, &id), E_FAIL);
    EXPECT_EQ(ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, nullptr, &id), E_FAIL);
    EXPECT_EQ(ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &target, nullptr), E_FAIL);
  });
  EXPECT_EQ(id, -1);
  const int channel = CreateChannel(UDP_CHANNEL_SEND_RECV);
  EXPECT_EQ(channel, 1) << "refused channels must not use an id";

  int cookie = -1;
  EXPECT_EQ(ZvUdp::SendData(channel + 1, "x", nullptr, nullptr, 100, 0, &cookie, false), E_FAIL);
  EXPECT_TRUE(log.Contains("CUdpTaskService::SendData Channel Id 2 Error"));
  EXPECT_EQ(ZvUdp::SendData(channel, nullptr, nullptr, nullptr, 100, 0, &cookie, false), E_FAIL);
  EXPECT_EQ(ZvUdp::SendData(nullptr, CUdpCallbackLog::OnOneShot, 100, &cookie), E_FAIL);
  EXPECT_EQ(cookie, -1);
  EXPECT_EQ(ZvUdp::StopTask(12345), E_FAIL) << "unknown cookie";

  // Cookies of both forms come from one sequence, and refused requests use none.
  const int a = Send(channel, "a");
  const int b = SendOneShot("b");
  const int c = Send(channel, "c");
  EXPECT_EQ(std::vector<int>({a, b, c}), std::vector<int>({1, 2, 3}));
  EXPECT_TRUE(WaitForSummary(a, "S1 R0:a"));
  EXPECT_TRUE(WaitForSummary(b, "C1 C0:b"));
  EXPECT_TRUE(WaitForSummary(c, "S1 R0:c"));
}

TEST_F(UdpFamilyTest, AtMostNineChannelsAreOpenAndClosingOneMakesRoom) {
  std::vector<int> ids;
  for (int i = 0; i < 9; ++i) ids.push_back(CreateChannel(UDP_CHANNEL_SEND_RECV));
  EXPECT_EQ(ids, std::vector<int>({1, 2, 3, 4, 5, 6, 7, 8, 9}));

  int refused = -1;
  tagUdpServer target{"127.0.0.1", server.Port()};
  host->Call(
      [&] { EXPECT_EQ(ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &target, &refused), E_FAIL); });
  EXPECT_TRUE(log.Contains("CUdpTaskService::CreateChannel Fail4"));
  EXPECT_EQ(refused, -1);

  EXPECT_EQ(ZvUdp::CloseChannel(3), S_OK);
  EXPECT_EQ(ZvUdp::CloseChannel(3), E_FAIL);
  EXPECT_TRUE(log.Contains("CUdpTaskService::CloseChannel Fail"));
  EXPECT_TRUE(log.Contains("ZvUdp::CloseChannel for ID:3"));
  const int reopened = CreateChannel(UDP_CHANNEL_DUPLEX);
  EXPECT_EQ(reopened, 10) << "ids are never reused";
  const int cookie = Send(reopened, "works");
  EXPECT_TRUE(WaitForSummary(cookie, "S1 R0:works")) << Summary(cookie);
  host->Call(
      [&] { EXPECT_EQ(ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &target, &refused), E_FAIL); });
  EXPECT_EQ(log.Count("CUdpTaskService::CreateChannel Fail4"), 2);
}

// Also while the sending thread is held inside sendto with a datagram queued behind: Close
// must not wait for it, and what it sends afterwards reports nothing.
TEST_F(UdpFamilyTest, ClosingAChannelDropsTheCallbacksOfItsRequests) {
  CSendToHook hook;
  const int closing = CreateChannel(UDP_CHANNEL_DUPLEX);
  const int receiving = CreateChannel(UDP_CHANNEL_RECV);
  const int sending = CreateChannel(UDP_CHANNEL_SEND);
  const int other = CreateChannel(UDP_CHANNEL_SEND_RECV);
  const int inFlight = Send(closing, "delay:400:in flight");
  const int queued = Send(receiving, "queued");
  const int held = Send(sending, "hook-block");
  const int behind = Send(sending, "behind");
  ASSERT_TRUE(WaitForSummary(inFlight, "S1"));
  ASSERT_TRUE(hook.WaitBlocked(kDeadline));
  for (int channel : {closing, receiving, sending}) EXPECT_EQ(ZvUdp::CloseChannel(channel), S_OK);
  EXPECT_EQ(ZvUdp::SendData(closing, "gone", nullptr, nullptr, 100, 0, nullptr, false), E_FAIL);
  hook.Release();
  // Issued last with the same time-out: when it times out, so would have the others.
  const int sentinel = Send(other, "silent sentinel");
  ASSERT_TRUE(WaitForSummary(sentinel, "S1 R12")) << Summary(sentinel);
  EXPECT_TRUE(WaitUntil([&] { return server.RequestCount() == 4; }, kDeadline))
      << "the held datagram and the one behind it still go out";
  EXPECT_EQ(Summary(inFlight), "S1");
  EXPECT_EQ(Summary(queued), "");
  EXPECT_EQ(Summary(held), "");
  EXPECT_EQ(Summary(behind), "");
}

TEST_F(UdpFamilyTest, StopTaskDropsAHeldBackRequestForGood) {
  ASSERT_EQ(ZvUdp::SetMaxTaskNum(0), S_OK);
  const int kept = SendOneShot("kept");
  const int dropped = SendOneShot("dropped");
  EXPECT_EQ(ZvUdp::StopTask(dropped), S_OK);
  EXPECT_EQ(ZvUdp::StopTask(dropped), E_FAIL) << "already gone";
  PumpFor(300ms);
  EXPECT_EQ(server.RequestCount(), 0u) << "held back requests must not be sent";

  ASSERT_EQ(ZvUdp::SetMaxTaskNum(10), S_OK);
  EXPECT_TRUE(WaitForSummary(kept, "C1 C0:kept")) << Summary(kept);
  PumpFor(300ms);
  EXPECT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(Summary(dropped), "");
}

// With room for one request, each held-back request starts when the open one ends, by reply
// or by time-out, oldest first.
TEST_F(UdpFamilyTest, HeldBackRequestsStartOneByOneAsOpenRequestsEnd) {
  ASSERT_EQ(ZvUdp::SetMaxTaskNum(1), S_OK);
  std::vector<std::pair<int, size_t>> servedAtReply;  // host thread only until the end
  CUdpCallbackLog::Get().SetObserver([&](const UdpCallbackEvent& event) {
    if (event.code == UDP_RECV_SUCCESS)
      servedAtReply.emplace_back(event.cookie, server.RequestCount());
  });
  const int first = SendOneShot("silent first");
  const int second = SendOneShot("second");
  const int third = SendOneShot("third");
  ASSERT_TRUE(WaitForSummary(third, "C1 C0:third")) << Summary(third);
  EXPECT_EQ(Summary(first), "C1 C12");
  EXPECT_EQ(Summary(second), "C1 C0:second");
  host->Call([] { CUdpCallbackLog::Get().SetObserver(nullptr); });
  // Each reply arrived while its request was the only one the server had seen start.
  EXPECT_EQ(servedAtReply, (std::vector<std::pair<int, size_t>>{{second, 2}, {third, 3}}));
  // The second started only after the first timed out.
  const auto events = CUdpCallbackLog::Get().All();
  auto at = [&](int cookie, int code) {
    for (size_t i = 0; i < events.size(); ++i) {
      if (events[i].cookie == cookie && events[i].code == code) return i;
    }
    return events.size();
  };
  EXPECT_LT(at(first, UDP_TASK_TIMEOUT), at(second, UDP_SEND_SUCCESS));
}

TEST_F(UdpFamilyTest, NegativeTaskLimitHoldsNothingBack) {
  ASSERT_EQ(ZvUdp::SetMaxTaskNum(-1), S_OK);
  for (int i = 0; i < 11; ++i) SendOneShot("silent " + std::to_string(i), 60000);
  // With a limit of 10 the eleventh would wait a minute for the first to time out.
  EXPECT_TRUE(WaitUntil([&] { return server.RequestCount() == 11; }, kDeadline));
}

// Uninit with requests everywhere: on channels of every type, one-shots running and held back,
// and replies posted to a thread that never dispatches them.
TEST_F(UdpFamilyTest, UninitDropsOpenRequestsWithoutCallbacksAndLeavesNothingBehind) {
  ZvMsgLoop::DispatchPending();  // this thread's own loop stays; count it in
  const int fdsBefore = OpenFdCount();
  const std::string fdTargetsBefore = OpenFdTargets();
  for (UDP_CHANNEL_TYPE type :
       {UDP_CHANNEL_SEND, UDP_CHANNEL_RECV, UDP_CHANNEL_SEND_RECV, UDP_CHANNEL_DUPLEX}) {
    const int channel = CreateChannel(type);
    Send(channel, "delay:300:channel");
    Send(channel, "queued behind");
  }
  // Eight channel requests are open: two one-shots start, two are held back (limit 10).
  for (int i = 0; i < 4; ++i) SendOneShot("delay:300:one-shot");
  // This thread never pumps: its replies wait as posted messages when the windows go.
  int undispatched = 0;
  tagUdpServer target{"127.0.0.1", server.Port()};
  ASSERT_EQ(ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &target, &undispatched), S_OK);
  const int checkSumsBefore = log.Count("CUdpTask checkSum");
  Send(undispatched, "posted, never dispatched");
  ASSERT_TRUE(WaitUntil([&] { return log.Count("CUdpTask checkSum") > checkSumsBefore; }));

  // On the host thread, so that no callback of it can be running meanwhile.
  host->Call([&] {
    EXPECT_EQ(ZvUdp::Uninit(), S_OK);
    CUdpCallbackLog::Get().Clear();
  });
  initialised = false;
  PumpFor(700ms);  // the delayed replies arrive meanwhile; nothing may be delivered
  EXPECT_TRUE(CUdpCallbackLog::Get().All().empty())
      << CUdpCallbackLog::Get().All().size() << " callbacks after Uninit";
  EXPECT_TRUE(WaitUntil([] { return CUdpTask::LiveCountForTesting() == 0; }, kDeadline));
  EXPECT_TRUE(WaitUntil([&] { return OpenFdCount() == fdsBefore; }, kDeadline))
      << OpenFdCount() << " descriptors open, " << fdsBefore << " before.\nNow:" << OpenFdTargets()
      << "\nBefore:" << fdTargetsBefore;
}

// The last Uninit returns only once the callbacks running on other threads have returned: here
// a reply's callback holds the host thread until released. A callback may also end the family
// itself without waiting for itself.
TEST_F(UdpFamilyTest, LastUninitWaitsForCallbacksRunningOnOtherThreads) {
  std::atomic<bool> inside{false}, released{false}, uninitReturned{false};
  std::atomic<int> outlived{-1};  // whether Uninit had returned when the callback did
  CUdpCallbackLog::Get().SetObserver([&](const UdpCallbackEvent& event) {
    if (event.kind != 'R') return;
    inside = true;
    WaitUntil([&] { return released.load(); }, kDeadline);
    outlived = uninitReturned.load() ? 1 : 0;
  });
  Send(CreateChannel(UDP_CHANNEL_DUPLEX), "held in its callback");
  ASSERT_TRUE(WaitUntil([&] { return inside.load(); }, kDeadline));
  std::thread ending([&] {
    ZvUdp::Uninit();
    uninitReturned = true;
  });
  initialised = false;
  // The service is shut down; the callback is still running, so Uninit must not return yet.
  EXPECT_TRUE(WaitUntil([&] { return log.Contains("ZvUdp::Uninit for 0 times"); }, kDeadline));
  EXPECT_FALSE(WaitUntil([&] { return uninitReturned.load(); }, 500ms))
      << "Uninit returned while a callback ran";
  released = true;
  ending.join();
  EXPECT_TRUE(WaitUntil([&] { return outlived != -1; }, kDeadline));
  EXPECT_EQ(outlived, 0) << "the callback ran on after Uninit returned";

  std::atomic<bool> endedInside{false};
  host->Call([&] {
    CUdpCallbackLog::Get().SetObserver([&](const UdpCallbackEvent& event) {
      if (event.kind != 'R') return;
      EXPECT_EQ(ZvUdp::Uninit(), S_OK);
      endedInside = true;
    });
  });
  ASSERT_EQ(ZvUdp::Init(), S_OK);
  Send(CreateChannel(UDP_CHANNEL_DUPLEX), "ends the family");
  EXPECT_TRUE(WaitUntil([&] { return endedInside.load(); }, kDeadline));
  host->Call([] { CUdpCallbackLog::Get().SetObserver(nullptr); });
}
