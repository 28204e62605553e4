// What goes on the wire, and which replies the library accepts.
#include <atomic>
#include <memory>
#include <mutex>

#include "tests/udp/SendToHook.h"
#include "tests/udp/UdpFamilyTest.h"
#include "udp/UdpDatagram.h"

TEST_F(UdpFamilyTest, RequestsReachTheServerByteForByte) {
  // The behaviour owns what it records: the server's thread may outlive a test that fails.
  struct Seen {
    std::mutex lock;
    std::vector<UdpServedRequest> requests;
  };
  const auto recorded = std::make_shared<Seen>();
  server.SetBehaviour([recorded](const UdpServedRequest& request) {
    {
      std::lock_guard guard(recorded->lock);
      recorded->requests.push_back(request);
    }
    return ScriptedReplies(request);
  });
  const int channel = CreateChannel(UDP_CHANNEL_DUPLEX);
  // Queued behind a held datagram, the two go out after it, oldest first.
  CSendToHook hook;
  const int held = Send(channel, "hook-block");
  ASSERT_TRUE(hook.WaitBlocked(kDeadline));
  const int empty = Send(channel, "");
  const int masked = Send(channel, "a[b");
  hook.Release();
  EXPECT_TRUE(WaitForSummary(held, "S1 R0:hook-block")) << Summary(held);
  EXPECT_TRUE(WaitForSummary(empty, "S1 R0:")) << Summary(empty);
  ASSERT_TRUE(WaitForSummary(masked, "S1 R0:a[b")) << Summary(masked);

  std::lock_guard guard(recorded->lock);
  const std::vector<UdpServedRequest>& seen = recorded->requests;
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].payload, "hook-block");
  EXPECT_EQ(seen[1].raw.size(), 13u);
  EXPECT_EQ(seen[1].raw, BuildDatagram("", empty));
  EXPECT_EQ(seen[2].raw,
            (std::vector<unsigned char>{0x01, 0x01, 0, 0, 0, static_cast<unsigned char>(masked),
                                        0x3A, 0x00, 0x39, 0x00, 0x00, 0x03, 0x3A, 0x00, 0x39, 0}));
  ExpectAllCallbacksOnHost();
}

TEST_F(UdpFamilyTest, WellFormedRepliesAreAcceptedWhateverTheirMagic) {
  const int empty = SendOneShot("empty-reply");
  const int magic = SendOneShot("odd-magic");
  const int largest = SendOneShot("max-size");
  // The oversized datagram fails the first read; the echo behind it is the reply.
  const int afterOversized = SendOneShot("over-then-echo");
  // A datagram from another port is dropped and the reading goes on.
  const int afterForeign = SendOneShot("foreign-then-echo");

  EXPECT_TRUE(WaitForSummary(empty, "C1 C0:")) << Summary(empty);
  EXPECT_TRUE(WaitForSummary(magic, "C1 C0:odd-magic")) << Summary(magic);
  EXPECT_TRUE(WaitForSummary(largest, "C1 C0:" + std::string(1012, 'm')));
  EXPECT_TRUE(WaitForSummary(afterOversized, "C1 C0:over-then-echo")) << Summary(afterOversized);
  EXPECT_TRUE(WaitForSummary(afterForeign, "C1 C0:foreign-then-echo")) << Summary(afterForeign);
  EXPECT_TRUE(
      log.Contains("CUdpTask recvfrom foreign sender port:" + std::to_string(server.OtherPort())));
  for (const UdpCallbackEvent& event : CUdpCallbackLog::Get().All()) {
    EXPECT_EQ(event.userParam, 0u) << "one-shot callbacks get userParam 0";
    EXPECT_EQ(event.hasOut, event.code == UDP_RECV_SUCCESS);
  }
  ExpectAllCallbacksOnHost();
}

TEST_F(UdpFamilyTest, BrokenOrForeignRepliesAreDroppedAndTheRequestTimesOut) {
  const int trailingZero = SendOneShot("trailing-zero");
  const int badCheckSum = SendOneShot("bad-checksum");
  const int wrongLength = SendOneShot("wrong-length");
  const int overMax = SendOneShot("over-max");
  const int foreign = SendOneShot("foreign-port");
  const int otherCookie = SendOneShot("other-cookie");
  for (int cookie : {trailingZero, badCheckSum, wrongLength, overMax, foreign, otherCookie}) {
    EXPECT_TRUE(WaitForSummary(cookie, "C1 C12")) << cookie << ": " << Summary(cookie);
  }
  // "trailing-zero" has 13 payload bytes; "wrong-length" has 12 and claims 13.
  EXPECT_EQ(log.Count("CUdpTask msgLen error1 13"), 2);
  EXPECT_EQ(log.Count("CUdpTask checkSum error"), 1);
  EXPECT_TRUE(log.Contains("CUdpTask recvfrom foreign sender"));
  EXPECT_TRUE(log.Contains("CUdpTaskService::OnMulThreadProxyMsg Cookie Invalid"));
  EXPECT_EQ(log.Count("ZvUdp::Task Time Out for ID:"), 6);
  ExpectAllCallbacksOnHost();
}

// Cookies are sequential, so a server may answer with the cookie of a request that another
// channel or a one-shot request sent to another server. Only the task that sent a request
// can answer it: such replies are dropped, and the genuine reply, held back by its server
// until then, still completes the request.
TEST_F(UdpFamilyTest, OnlyTheTaskThatSentARequestCanAnswerIt) {
  std::atomic<bool> released{false};
  CUdpReferenceServer other;
  other.SetBehaviour([&](const UdpServedRequest& request) {
    WaitUntil([&] { return released.load(); }, kDeadline);
    return ScriptedReplies(request);
  });
  ASSERT_EQ(other.Start(), S_OK);
  const int toOther = CreateChannelTo(UDP_CHANNEL_DUPLEX, "127.0.0.1", other.Port());
  const int forging = CreateChannel(UDP_CHANNEL_DUPLEX);
  const int victim = Send(toOther, "genuine", 30000);
  const int oneShotVictim = SendOneShotTo("127.0.0.1", other.Port(), "silent", 30000);

  const std::string forgeVictim = "cookie:" + std::to_string(victim);
  const int byChannel = Send(forging, forgeVictim);
  const int byOneShot = SendOneShot(forgeVictim);
  const int atOneShot = Send(forging, "cookie:" + std::to_string(oneShotVictim));
  EXPECT_TRUE(WaitForSummary(byChannel, "S1 R12")) << Summary(byChannel);
  EXPECT_TRUE(WaitForSummary(byOneShot, "C1 C12")) << Summary(byOneShot);
  EXPECT_TRUE(WaitForSummary(atOneShot, "S1 R12")) << Summary(atOneShot);
  EXPECT_EQ(Summary(victim), "S1");
  EXPECT_EQ(Summary(oneShotVictim), "C1");
  EXPECT_EQ(log.Count("CUdpTaskService::OnMulThreadProxyMsg Cookie Foreign"), 3);

  released = true;
  EXPECT_TRUE(WaitForSummary(victim, "S1 R0:genuine")) << Summary(victim);
  ExpectAllCallbacksOnHost();
}
