#include <gmock/gmock.h>
#include <poll.h>

#include <climits>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/HttpCallbackLog.h"
#include "tests/udp/UdpFamilyTest.h"
#include "tools/HttpTestServer.h"
#include "udp/UdpTask.h"
#include "udp/UdpTaskService.h"
#include "zvnet/zvmsgloop.h"
#include "zvnet/zvnetstatus.h"

class UdpServiceTest : public UdpFamilyTest {};

using ::testing::Each;
using ::testing::ElementsAre;

// How many descriptors the process has open.
static size_t OpenFds() {
  const std::filesystem::directory_iterator fds("/proc/self/fd");
  return static_cast<size_t>(std::distance(begin(fds), end(fds)));
}

TEST_F(UdpServiceTest, UseCountsChannelIdsAndCookies) {
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
  int id = 0;
  tagUdpServer target{"127.0.0.1", 9};
  tagUdpTaskParam param{"127.0.0.1", 9, "x"};
  EXPECT_THAT(
      (std::vector<long>{ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &target, &id),
                         ZvUdp::CloseChannel(1), ZvUdp::SetMaxTaskNum(3),
                         ZvUdp::SendData(1, "x", nullptr, nullptr, 100, 0, nullptr, false),
                         ZvUdp::SendData(&param, nullptr, 100, nullptr), ZvUdp::StopTask(1)}),
      Each(E_FAIL));
  EXPECT_EQ(ZvUdp::Uninit(), S_OK) << "an Uninit without Init";
  EXPECT_EQ(log.Count("ZvUdp::Uninit for 0 times"), 2);

  // A new service counts its ids and cookies from 1 again. Refused calls use no id and no
  // cookie; at most nine channels are open, closing one makes room, and ids are never reused;
  // both request forms share one sequence of cookies.
  CUdpCallbackLog::Get().Clear();
  ASSERT_EQ(ZvUdp::Init(), S_OK);
  EXPECT_EQ(log.Count("ZvUdp::Init for 1 times"), 2);
  id = -1;
  target.port = server.Port();
  EXPECT_EQ(ZvUdp::CreateChannel(static_cast<UDP_CHANNEL_TYPE>(4), &target, &id), E_FAIL);
  EXPECT_EQ(ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, nullptr, &id), E_FAIL);
  EXPECT_EQ(ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &target, nullptr), E_FAIL);
  std::vector<int> ids;
  for (int i = 0; i < 9; ++i) ids.push_back(CreateChannel(UDP_CHANNEL_SEND_RECV));
  EXPECT_EQ(ids, std::vector<int>({1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &target, &id), E_FAIL) << "a tenth";
  EXPECT_EQ(id, -1);
  EXPECT_EQ(ZvUdp::CloseChannel(3), S_OK);
  EXPECT_EQ(ZvUdp::CloseChannel(3), E_FAIL);
  const int reopened = CreateChannel(UDP_CHANNEL_DUPLEX);
  EXPECT_EQ(reopened, 10);
  EXPECT_EQ(ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &target, &id), E_FAIL) << "nine again";

  int cookie = -1;
  EXPECT_EQ(ZvUdp::SendData(3, "x", nullptr, nullptr, 100, 0, &cookie, false), E_FAIL);
  EXPECT_TRUE(log.Contains("CUdpTaskService::SendData Channel Id 3 Error"));
  EXPECT_EQ(ZvUdp::SendData(1, nullptr, nullptr, nullptr, 100, 0, &cookie, false), E_FAIL);
  EXPECT_EQ(ZvUdp::SendData(nullptr, CUdpCallbackLog::OnOneShot, 100, &cookie), E_FAIL);
  EXPECT_EQ(cookie, -1);
  EXPECT_EQ(ZvUdp::StopTask(12345), E_FAIL) << "unknown cookie";
  const int a = Send(reopened, "a");
  const int b = SendOneShot("b");
  const int c = Send(1, "c");
  EXPECT_EQ(std::vector<int>({a, b, c}), std::vector<int>({1, 2, 3}));
  EXPECT_TRUE(WaitForSummary(a, "S1 R0:a"));
  EXPECT_TRUE(WaitForSummary(b, "C1 C0:b"));
  EXPECT_TRUE(WaitForSummary(c, "S1 R0:c"));
}

// Also while the sending thread is held inside sendto with a datagram queued behind: Close
// must not wait for it, and what it sends afterwards reports nothing.
TEST_F(UdpServiceTest, ClosingAChannelDropsTheCallbacksOfItsRequests) {
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
  EXPECT_THAT((std::vector{Summary(inFlight), Summary(queued), Summary(held), Summary(behind)}),
              ElementsAre("S1", "", "", ""));
}

// Held-back requests start oldest first, each when an open one ends by reply or by time-out;
// StopTask drops one for good. A negative limit holds nothing back.
TEST_F(UdpServiceTest, TheTaskLimitHoldsRequestsBackUntilOpenOnesEnd) {
  ASSERT_EQ(ZvUdp::SetMaxTaskNum(0), S_OK);
  std::vector<std::string> events;  // cookie, code and, at replies, the requests served
  CUdpCallbackLog::Get().SetObserver([&](const UdpCallbackEvent& event) {
    events.push_back(std::to_string(event.cookie) + ":" + std::to_string(event.code));
    if (event.hasOut) events.back() += "@" + std::to_string(server.RequestCount());
  });
  const int dropped = SendOneShot("dropped");
  SendOneShot("silent first");
  SendOneShot("second");
  const int third = SendOneShot("third");
  EXPECT_EQ(ZvUdp::StopTask(dropped), S_OK);
  EXPECT_EQ(ZvUdp::StopTask(dropped), E_FAIL) << "already gone";
  PumpFor(300ms);
  EXPECT_EQ(server.RequestCount(), 0u) << "held back requests must not be sent";
  ASSERT_EQ(ZvUdp::SetMaxTaskNum(1), S_OK);
  ASSERT_TRUE(WaitForSummary(third, "C1 C0:third")) << Summary(third);
  EXPECT_THAT(events, ElementsAre("2:1", "2:12", "3:1", "3:0@2", "4:1", "4:0@3"));

  ASSERT_EQ(ZvUdp::SetMaxTaskNum(-1), S_OK);
  for (int i = 0; i < 11; ++i) SendOneShot("silent " + std::to_string(i), 60000);
  // With a limit of 10 the eleventh would wait a minute for the first to time out.
  EXPECT_TRUE(WaitUntil([&] { return server.RequestCount() == 3 + 11; }, kDeadline));
}

// Uninit with requests everywhere: on channels of every type, one-shots running and held back.
// This thread does not pump until afterwards, so every result of them is still a posted
// message when the windows go.
TEST_F(UdpServiceTest, UninitDropsOpenRequestsWithoutCallbacksAndLeavesNothingBehind) {
  ZvMsgLoop::DispatchPending();  // this thread's own loop stays; count it in
  const size_t fdsBefore = OpenFds();
  for (UDP_CHANNEL_TYPE type :
       {UDP_CHANNEL_SEND, UDP_CHANNEL_RECV, UDP_CHANNEL_SEND_RECV, UDP_CHANNEL_DUPLEX}) {
    const int channel = CreateChannel(type);
    Send(channel, "delay:300:channel");
    Send(channel, "queued behind");
  }
  // Eight channel requests are open: two one-shots start, two are held back (limit 10).
  for (int i = 0; i < 4; ++i) SendOneShot("delay:300:one-shot");
  const int posted = Send(CreateChannel(UDP_CHANNEL_DUPLEX), "posted, never dispatched");
  ASSERT_TRUE(WaitUntil([&] { return log.Contains("CUdpTask checkSum"); }, kDeadline));

  EXPECT_EQ(ZvUdp::Uninit(), S_OK);
  initialised = false;
  PumpFor(700ms);  // the delayed replies arrive meanwhile; nothing may be delivered
  EXPECT_TRUE(CUdpCallbackLog::Get().All().empty())
      << CUdpCallbackLog::Get().All().size() << " callbacks after Uninit, " << Summary(posted);
  EXPECT_TRUE(WaitUntil([] { return CUdpTask::LiveCountForTesting() == 0; }, kDeadline));
  EXPECT_TRUE(WaitUntil([&] { return OpenFds() == fdsBefore; }, kDeadline)) << "descriptors left";
}

// After the largest cookie the count starts again at 1, passing over the cookies still in use:
// an open channel request and a held-back one-shot request. The largest cookie goes on the
// wire like any other.
TEST_F(UdpServiceTest, CookiesWrapAfterTheLargestAndSkipThoseStillInUse) {
  const int channel = CreateChannel(UDP_CHANNEL_DUPLEX);
  const int open = Send(channel, "silent", 60000);
  ASSERT_EQ(ZvUdp::SetMaxTaskNum(0), S_OK);
  const int held = SendOneShot("held");
  ASSERT_EQ(ZvUdp::SetMaxTaskNum(-1), S_OK);
  ASSERT_EQ(ZvUdp::SetMaxTaskNum(0), S_OK);
  const int heldBack = SendOneShot("held back");
  ASSERT_EQ(std::vector<int>({open, held, heldBack}), std::vector<int>({1, 2, 3}));
  ASSERT_TRUE(WaitForSummary(held, "C1 C0:held"));
  ASSERT_TRUE(WaitForSummary(open, "S1"));
  CUdpCallbackLog::Get().Clear();  // cookie 2 is free again and will be given anew

  CUdpTaskService::CurrentForTesting()->SetNextCookieForTesting(INT_MAX);
  const int largest = Send(channel, "largest");
  const int wrapped = Send(channel, "wrapped");
  EXPECT_EQ(largest, INT_MAX);
  EXPECT_EQ(wrapped, 2) << "1 and 3 are still in use";
  EXPECT_TRUE(WaitForSummary(largest, "S1 R0:largest")) << Summary(largest);
  EXPECT_TRUE(WaitForSummary(wrapped, "S1 R0:wrapped")) << Summary(wrapped);
  EXPECT_EQ(Summary(open), "") << "still open, untouched";
}

// A host loop that has finished requests of every family, and keeps a channel open and a
// network watch registered, is not woken while idle: the 2-second time-out pass runs only
// while requests are open. Afterwards a request still times out on time, also a channel
// request made on another thread than the channel's.
TEST_F(UdpServiceTest, AnIdleLoopIsNotWokenAndLaterRequestsStillTimeOut) {
  CHttpTestServer web;
  web.Serve("/a", HttpTestResponse::Text(200, "a"));
  HttpTestResponse hang;
  hang.neverAnswer = true;
  web.Serve("/hang", hang);
  CHttpCallbackLog http;
  struct CFamilies {  // ended before the server and the log go
    int32_t watch = 0;
    ~CFamilies() {
      ZvNetStatus::UnDetectNetStatus(watch);
      ZvHttp::Uninit();
    }
  } families;
  ASSERT_EQ(ZvHttp::Init(), 0);
  ASSERT_EQ(ZvNetStatus::DetectNetStatus(
                [](int32_t, uint32_t, ZV_NET_STATUS) ZV_STDCALL { return 0; }, 0, &families.watch),
            S_OK);
  int worker = 0, task = 0;
  ASSERT_EQ(ZvHttp::CreateWorker(&worker), 0);
  auto fetch = [&](const char* path, unsigned timeoutMs) {
    tagDefHttpPar par = HttpPar(web.Url(path));
    EXPECT_EQ(ZvHttp::DownloadInMem(&par, CHttpCallbackLog::Callback, timeoutMs, &task,
                                    http.Param(), worker),
              0);
  };
  fetch("/a", 10000);
  const int channel = CreateChannel(UDP_CHANNEL_DUPLEX);
  const int request = Send(channel, "channel");
  const int oneShot = SendOneShot("one-shot");
  ASSERT_TRUE(PumpUntil(
      [&] {
        return http.HasTerminal(task) && Summary(request) == "S1 R0:channel" &&
               Summary(oneShot) == "C1 C0:one-shot";
      },
      kDeadline));

  PumpFor(2500ms);  // the pass that finds nothing open stops the timer
  const int fd = ZvMsgLoop::GetWaitFd();
  int wakeUps = 0;
  for (auto end = std::chrono::steady_clock::now() + 10s;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(left.count())) > 0) {
      ++wakeUps;
      ZvMsgLoop::DispatchPending();
    }
  }
  EXPECT_EQ(wakeUps, 0) << "wake-ups of an idle loop in 10 s";

  const auto start = std::chrono::steady_clock::now();
  fetch("/hang", 500);
  int late = 0;
  std::thread([&] { late = Send(channel, "silent", 500); }).join();
  ASSERT_TRUE(
      PumpUntil([&] { return http.HasTerminal(task) && Summary(late) == "S1 R12"; }, kDeadline))
      << Summary(late);
  EXPECT_EQ(http.Terminal(task).code, DOWNLOAD_TIMEOUT);
  // Its time-out, one pass, and room for a slow machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms + 2s + 2s);
}
