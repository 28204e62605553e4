// What goes on the wire, and which replies the library accepts. Reads past a datagram are
// looked for by fuzz/UdpReplyFuzzer.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
    return ScriptedUdpReplies(request);
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
  EXPECT_EQ(seen[1].raw,
            (std::vector<unsigned char>{0x01, 0x01, 0, 0, 0, static_cast<unsigned char>(empty), 0,
                                        0, 0, 0, 0x00, 0x00, 0}));
  // 'a' '[' 'b' XOR 0x5B; the checksum XORs big-endian words of the scrambled bytes, padded.
  EXPECT_EQ(seen[2].raw,
            (std::vector<unsigned char>{0x01, 0x01, 0, 0, 0, static_cast<unsigned char>(masked),
                                        0x3A, 0x00, 0x39, 0x00, 0x00, 0x03, 0x3A, 0x00, 0x39, 0}));
  ExpectAllCallbacksOnThisThread();
}

// What the wire cannot show: the length field of a payload too long for it keeps the low 16
// bits, and a reply longer than any that recvfrom hands over is refused.
TEST(UdpDatagramTest, FramingBeyondWhatTheWireCarries) {
  const std::vector<unsigned char> datagram = BuildDatagram(std::string(70000, 'x').c_str(), 5);
  ASSERT_EQ(datagram.size(), 70013u);
  EXPECT_EQ(ReadBigEndian16(&datagram[10]), 70000 & 0xFFFF);
  std::vector<unsigned char> reply = BuildDatagram(std::string(kUdpMaxReplySize, 'x').c_str(), 1);
  reply.pop_back();  // a reply's framing is a request's without the terminating zero
  UdpReplyHeader header;
  EXPECT_EQ(CheckUdpReply(reply.data(), reply.size(), &header), UdpReplyCheck::kTooLong);
  EXPECT_EQ(CheckUdpReply(reply.data(), 5, &header), UdpReplyCheck::kLengthMismatch);
}

// One-shot requests to the scripted server: the well-formed replies from the server's port
// complete them, whatever their magic; anything else is dropped and they time out.
TEST_F(UdpFamilyTest, OnlyWellFormedRepliesFromTheServerAreAccepted) {
  const std::string timedOut = "C1 C12";
  const std::pair<std::string, std::string> rows[] = {
      {"empty-reply", "C1 C0:"},
      {"odd-magic", "C1 C0:odd-magic"},
      {"max-size", "C1 C0:" + std::string(1012, 'm')},
      // The oversized datagram uses up the first read; the echo behind it is the reply.
      {"over-then-echo", "C1 C0:over-then-echo"},
      {"foreign-then-echo", "C1 C0:foreign-then-echo"},
      {"trailing-zero", timedOut},
      {"bad-checksum", timedOut},
      {"wrong-length", timedOut},
      {"over-max", timedOut},
      {"foreign-port", timedOut},
      {"other-cookie", timedOut},
  };
  std::vector<int> cookies;
  for (const auto& [payload, expected] : rows) cookies.push_back(SendOneShot(payload));
  for (size_t i = 0; i < cookies.size(); ++i) {
    EXPECT_TRUE(WaitForSummary(cookies[i], rows[i].second))
        << rows[i].first << ": " << Summary(cookies[i]);
  }
  EXPECT_TRUE(
      log.Contains("CUdpTask recvfrom foreign sender port:" + std::to_string(server.OtherPort())));
  for (const UdpCallbackEvent& event : CUdpCallbackLog::Get().All()) {
    EXPECT_EQ(event.userParam, 0u) << "one-shot callbacks get userParam 0";
    EXPECT_EQ(event.hasOut, event.code == UDP_RECV_SUCCESS);
  }
  ExpectAllCallbacksOnThisThread();
}

// Cookies are sequential, so a server may answer with the cookie of a request that another
// channel or a one-shot request sent to another server. Only the task that sent a request
// can answer it: such replies are dropped, and the genuine reply, held back by its server
// until then, still completes the request.
TEST_F(UdpFamilyTest, OnlyTheTaskThatSentARequestCanAnswerIt) {
  std::atomic<bool> released{false};
  CUdpReferenceServer other;  // stopped before `released` goes
  other.SetBehaviour([&](const UdpServedRequest& request) {
    WaitUntil([&] { return released.load(); }, kDeadline);
    return ScriptedUdpReplies(request);
  });
  ASSERT_EQ(other.Start(), S_OK);
  const int toOther = CreateChannel(UDP_CHANNEL_DUPLEX, other.Port());
  const int forging = CreateChannel(UDP_CHANNEL_DUPLEX);
  const int victim = Send(toOther, "genuine", 30000);
  const int oneShotVictim = SendOneShot("silent", 30000, other.Port());

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
  ExpectAllCallbacksOnThisThread();
}
