// What ends each request, by channel type and for the one-shot form. Shared with the Windows
// tests, which have no send hook.
#include <thread>
#include <vector>

#include "tests/udp/UdpFamilyTest.h"

namespace {

class UdpOutcomeTest : public UdpFamilyTest,
                       public ::testing::WithParamInterface<UDP_CHANNEL_TYPE> {};

// Stands for the one-shot form among the channel types.
constexpr auto kOneShot = static_cast<UDP_CHANNEL_TYPE>(4);

std::string TypeName(const ::testing::TestParamInfo<UDP_CHANNEL_TYPE>& info) {
  static const char* const kNames[] = {"Send", "Recv", "SendRecv", "Duplex", "OneShot"};
  return kNames[info.param];
}

}  // namespace

// All requests share one time-out and the sentinel is sent last, so when the sentinel's
// time-out arrives every earlier request that was still open has timed out too: what has not
// arrived by then never will.
TEST_P(UdpOutcomeTest, EachOutcomeEndsWithItsCallbacks) {
  const UDP_CHANNEL_TYPE type = GetParam();
  const bool oneShot = type == kOneShot;
  const bool sends = type != UDP_CHANNEL_RECV;
  const bool reads = oneShot || type == UDP_CHANNEL_SEND_RECV || type == UDP_CHANNEL_DUPLEX;
  // One-shot requests get 'C' callbacks where channel requests get 'S' and 'R'.
  auto as = [&](std::string summary) {
    for (size_t i = 0; oneShot && i < summary.size() && summary[i] != ':'; ++i) {
      if (summary[i] == 'S' || summary[i] == 'R') summary[i] = 'C';
    }
    return summary;
  };
#ifndef _WIN32
  CSendToHook hook;
#endif
  const int channel = oneShot ? 0 : CreateChannel(type);
  auto send = [&](const std::string& payload) {
    return oneShot ? SendOneShot(payload) : Send(channel, payload);
  };

  // Only the server's port may answer: the datagram from another port before the reply, and
  // the only one of `foreign`, are dropped.
  const int answered = send("foreign-then-echo");
  const int foreign = send("foreign-port");
  const int refused = send(std::string(70000, 'x'));  // larger than a datagram can be
#ifndef _WIN32
  const int sendTimeout = send("hook-timeout");
  const int sentPart = send("hook-part");
#endif
  const int stoppedAfterSend = send("delay:500:stopped after send");
  if (sends) {
    ASSERT_TRUE(WaitForSummary(stoppedAfterSend, as("S1")));
    EXPECT_EQ(ZvUdp::StopTask(stoppedAfterSend), E_FAIL);
  } else {
    EXPECT_EQ(ZvUdp::StopTask(stoppedAfterSend), S_OK) << "never sent, so still queued";
  }
#ifndef _WIN32
  int blocker = 0;
  int queued = 0;
  if (!oneShot) {
    blocker = send("hook-block");
    if (sends) {
      ASSERT_TRUE(hook.WaitBlocked(kDeadline));
    }
    queued = send("queued");
    EXPECT_EQ(ZvUdp::StopTask(queued), S_OK);
    hook.Release();
  }
#endif
  const int sentinel = send("silent sentinel");

  const std::string timedOut = as(sends ? "S1 R12" : "R12");
  ASSERT_TRUE(WaitForSummary(sentinel, timedOut)) << Summary(sentinel);
  EXPECT_EQ(Summary(answered), reads ? as("S1 R0:foreign-then-echo") : timedOut);
  EXPECT_EQ(Summary(foreign), timedOut);
  EXPECT_EQ(Summary(refused), as(sends ? "S7" : "R12"));
  EXPECT_EQ(Summary(stoppedAfterSend), as(sends ? "S1" : "R12"));
#ifndef _WIN32
  EXPECT_EQ(Summary(sendTimeout), as(sends ? "S5" : "R12"));
  EXPECT_EQ(Summary(sentPart), as(sends ? "S9" : "R12"));
  if (!oneShot) {
    EXPECT_EQ(Summary(blocker), reads ? "S1 R0:hook-block" : timedOut);
    EXPECT_EQ(Summary(queued), "R12");
  }
#endif
  for (const UdpCallbackEvent& event : CUdpCallbackLog::Get().All()) {
    EXPECT_EQ(event.userParam, oneShot ? 0u : 77u);
  }
  ExpectAllCallbacksOnThisThread();
}

INSTANTIATE_TEST_SUITE_P(ChannelTypesAndOneShot, UdpOutcomeTest,
                         ::testing::Values(UDP_CHANNEL_SEND, UDP_CHANNEL_RECV,
                                           UDP_CHANNEL_SEND_RECV, UDP_CHANNEL_DUPLEX, kOneShot),
                         TypeName);

#ifndef _WIN32
// After a reply the receiving side lingers on the channel; a request without reply sent then
// must still get its three reads. A reply later than those reads is read as soon as it arrives,
// instead of waiting in the socket to be taken for the reply of a later request.
class UdpLateReplyTest : public UdpOutcomeTest {};

TEST_P(UdpLateReplyTest, RepliesStayInStepAfterSilentAndLateOnes) {
  const int channel = CreateChannel(GetParam());
  const int answered = Send(channel, "answered");
  ASSERT_TRUE(WaitForSummary(answered, "S1 R0:answered")) << Summary(answered);
  const int silent = Send(channel, "silent");
  EXPECT_TRUE(WaitForSummary(silent, "S1 R12")) << Summary(silent);
  const int readsGivenUp = log.Count("CUdpTask recvfrom error 11");
  EXPECT_GT(readsGivenUp, 0) << "the silent request was never read for";

  const int late = Send(channel, "delay:900:late", 15000);
  EXPECT_TRUE(WaitForSummary(late, "S1 R0:delay:900:late")) << Summary(late);
  EXPECT_GT(log.Count("CUdpTask recvfrom error 11"), readsGivenUp) << "the reads gave up first";
  const int next = Send(channel, "next", 15000);
  EXPECT_TRUE(WaitForSummary(next, "S1 R0:next")) << Summary(next);
}

INSTANTIATE_TEST_SUITE_P(ReadingChannels, UdpLateReplyTest,
                         ::testing::Values(UDP_CHANNEL_SEND_RECV, UDP_CHANNEL_DUPLEX), TypeName);
#endif

class UdpThreadEndTest : public UdpFamilyTest {};

// Threads that end with requests open, as a host's pool threads do: three channels each with a
// request to a silent peer, and one-shots to it up to the limit of open ones. What they had
// goes with their threads: every channel opens again, and this thread's requests are answered
// rather than held back behind theirs.
TEST_F(UdpThreadEndTest, ThreadsThatEndWithOpenRequestsHoldNothingBack) {
  for (int t = 0; t < 3; ++t) {
    std::thread([&] {
      for (int c = 0; c < 3; ++c) Send(CreateChannel(UDP_CHANNEL_DUPLEX), "silent", 600000);
      for (int i = 0; i < 10; ++i) SendOneShot("silent", 600000);
    }).join();
  }
  std::vector<int> channels;
  for (int i = 0; i < 9; ++i) channels.push_back(CreateChannel(UDP_CHANNEL_DUPLEX));
  const int oneShot = SendOneShot("after the threads");
  const int onChannel = Send(channels.back(), "on a channel");
  EXPECT_TRUE(WaitForSummary(oneShot, "C1 C0:after the threads")) << Summary(oneShot);
  EXPECT_TRUE(WaitForSummary(onChannel, "S1 R0:on a channel")) << Summary(onChannel);
  for (int channel : channels) EXPECT_EQ(ZvUdp::CloseChannel(channel), S_OK);
  ExpectAllCallbacksOnThisThread();
}
