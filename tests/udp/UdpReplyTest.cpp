// What goes on the wire, and which replies the library accepts. Reads past a datagram are
// looked for by fuzz/UdpReplyFuzzer.

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tests/udp/UdpFamilyTest.h"
#include "tools/UdpScriptedPeer.h"
#include "udp/UdpDatagram.h"
#include "udp/UdpReplyStore.h"
#include "zvnet/zvmsgloop.h"

class UdpReplyTest : public UdpFamilyTest {};

TEST_F(UdpReplyTest, RequestsReachTheServerByteForByte) {
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
TEST_F(UdpReplyTest, OnlyWellFormedRepliesFromTheServerAreAccepted) {
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
TEST_F(UdpReplyTest, OnlyTheTaskThatSentARequestCanAnswerIt) {
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
  for (int forged : {victim, oneShotVictim}) {
    EXPECT_EQ(log.Count("CUdpTask reply for cookie " + std::to_string(forged) + " not awaited"),
              forged == victim ? 2 : 1);
  }

  released = true;
  EXPECT_TRUE(WaitForSummary(victim, "S1 R0:genuine")) << Summary(victim);
  ExpectAllCallbacksOnThisThread();
}

// While the host does not pump, a peer floods a channel with replies nobody asked for, with
// repeats of the one reply that was asked for, and then with one reply for each of more open
// requests than a channel may hold replies for. What waits for the host stays bounded: one
// reply per open request, at most kMaxHeldPerTask of them, and a request whose reply was
// dropped ends with its time-out, so each request still ends exactly once.
TEST_F(UdpReplyTest, AFloodingPeerCannotGrowWhatWaitsForTheHost) {
  CUdpScriptedPeer peer;
  ASSERT_NE(peer.Port(), 0);
  const int channel = CreateChannel(UDP_CHANNEL_DUPLEX, peer.Port());
  const int asked = Send(channel, "asked", 60000);
  ASSERT_EQ(peer.ReadRequest(), static_cast<uint32_t>(asked));
  const std::string big(1000, 'f');
  constexpr int kFlood = 50000;
  for (int i = 0; i < kFlood; ++i) {
    // Every tenth repeats the asked-for cookie; the others name cookies never handed out.
    peer.Reply(i % 10 == 0 ? asked : asked + 100000 + i, i == 0 ? "first" : big);
    if (i % 32 == 31) {
      ASSERT_TRUE(peer.WaitUntilRead()) << "after " << i;
    }
  }
  ASSERT_TRUE(peer.WaitUntilRead());
  const long dispatched = ZvMsgLoop::DispatchPending();
  EXPECT_LE(dispatched, 4) << "messages queued for the host by a flood of " << kFlood;
  EXPECT_EQ(Summary(asked), "S1 R0:first");
  EXPECT_EQ(CUdpCallbackLog::Get().All().size(), 2u);

  // More open requests than replies a channel holds, each answered while the host waits.
  CUdpCallbackLog::Get().Clear();
  constexpr int kOpen = static_cast<int>(CUdpReplyStore::kMaxHeldPerTask) + 100;
  std::vector<int> cookies;
  for (int sent = 0; sent < kOpen; sent += 50) {
    for (int i = sent; i < std::min(sent + 50, kOpen); ++i) cookies.push_back(Send(channel, "x"));
    for (int i = sent; i < std::min(sent + 50, kOpen); ++i) {
      const uint32_t cookie = peer.ReadRequest();
      ASSERT_NE(cookie, 0u);
      peer.Reply(cookie, "answer");
    }
    ASSERT_TRUE(peer.WaitUntilRead());
  }
  ZvMsgLoop::DispatchPending();
  const size_t answered = CUdpCallbackLog::Get().All().size() - cookies.size();  // less the S1s
  EXPECT_LE(answered, CUdpReplyStore::kMaxHeldPerTask);
  EXPECT_GE(answered, CUdpReplyStore::kMaxHeldPerTask / 2) << "replies held are delivered";
  for (int cookie : cookies) {
    const std::string summary = Summary(cookie);
    EXPECT_TRUE(summary == "S1 R0:answer" || WaitForSummary(cookie, "S1 R12"))
        << cookie << ": " << Summary(cookie);
  }
}
