// A UDP peer that misbehaves: besides its echo it sends floods of garbage datagrams,
// duplicates of the reply, replies carrying other requests' cookies, and replies that come
// after the request has timed out. Meanwhile the host stops requests and closes a channel.
// Nothing crashes, a closed or stopped request gets no callback afterwards, and no request is
// answered twice.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/faults/FaultSeed.h"
#include "tests/support/Pump.h"
#include "tools/UdpReferenceServer.h"
#include "zvnet/zvmsgloop.h"
#include "zvnet/zvudp.h"

namespace {

constexpr int kRequests = 300;
constexpr int kChannels = 3;
constexpr unsigned kTimeoutMs = 1000;

struct UdpEnd {
  UDP_ERRORCODE code;
  std::string payload;
  size_t sequence;
};

// Callbacks of the test thread, numbered in order of arrival.
class CUdpEnds {
 public:
  static int ZV_STDCALL Recv(int cookie, unsigned long param, UDP_ERRORCODE code, tagUdpOut* out) {
    CUdpEnds& self = *reinterpret_cast<CUdpEnds*>(param);
    std::string payload;
    if (out && out->data) payload.assign(reinterpret_cast<char*>(out->data), out->dataLength);
    self.ends[cookie].push_back({code, payload, self.sequence++});
    return 0;
  }
  unsigned long Param() { return reinterpret_cast<unsigned long>(this); }

  std::map<int, std::vector<UdpEnd>> ends;
  size_t sequence = 0;
};

std::vector<UdpReplyPlan> Misbehave(uint64_t seed, const UdpServedRequest& request) {
  std::vector<UdpReplyPlan> replies;
  if (!request.wellFormed) return replies;
  uint64_t roll = FaultMix(seed, request.cookie);
  auto next = [&] { return roll = FaultMix(roll, 1); };
  // A flood of garbage: random bytes of random sizes, some long, some empty.
  const int flood = static_cast<int>(next() % 12);
  for (int i = 0; i < flood; ++i) {
    UdpReplyPlan junk;
    junk.raw.resize(1 + next() % 1500);
    for (unsigned char& byte : junk.raw) byte = static_cast<unsigned char>(next());
    if (i % 3 == 0 && junk.raw.size() > 2) junk.raw[0] = junk.raw[1] = 0x01;  // right magic
    replies.push_back(junk);
  }
  // Well-formed replies for requests that do not exist.
  if (next() % 4 == 0) {
    UdpReplyPlan foreign = UdpReplyPlan{};
    // Cookies no request has: far ahead of the counter, or zero.
    foreign.cookie = next() % 2 ? request.cookie + 1000000 : 0;
    foreign.payload = "not yours";
    replies.push_back(foreign);
  }
  const uint64_t fate = next() % 10;
  UdpReplyPlan echo = CUdpReferenceServer::Echo(request).front();
  if (fate < 2) {
    // Only after the request has timed out.
    echo.delay = std::chrono::milliseconds(kTimeoutMs + 1500 + next() % 1000);
    replies.push_back(echo);
    return replies;
  }
  replies.push_back(echo);
  const int copies = fate < 6 ? static_cast<int>(1 + next() % 3) : 0;
  for (int i = 0; i < copies; ++i) {
    UdpReplyPlan copy = echo;
    copy.delay = std::chrono::milliseconds(next() % 300);
    replies.push_back(copy);
  }
  return replies;
}

struct Sent {
  int channel = 0;
  std::string payload;
  bool stopped = false;
  bool stoppedWhileQueued = false;  // StopTask answered 0: it still ends with its time-out
  size_t sequenceAtStop = 0;
};

}  // namespace

TEST(UdpFlood, GarbageDuplicatesAndLateRepliesNeverDoubleOrReviveARequest) {
  const uint64_t seed = FaultSeed();
  CUdpReferenceServer server;
  server.SetBehaviour([&](const UdpServedRequest& request) { return Misbehave(seed, request); });
  ASSERT_EQ(server.Start(), 0);
  ASSERT_EQ(ZvUdp::Init(), 0);
  int channels[kChannels] = {};
  tagUdpServer target{"127.0.0.1", server.Port()};
  for (int& channel : channels)
    ASSERT_EQ(ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &target, &channel), 0);

  CUdpEnds ends;
  std::map<int, Sent> sent;
  int closedChannel = 0;
  size_t sequenceAtClose = 0;
  for (int i = 0; i < kRequests; ++i) {
    const uint64_t roll = FaultMix(seed, 500000 + i);
    Sent request;
    request.channel = channels[roll % kChannels];
    if (request.channel == closedChannel) request.channel = channels[(roll + 1) % kChannels];
    request.payload = "request " + std::to_string(i) + " " + std::to_string(roll);
    int cookie = 0;
    ASSERT_EQ(ZvUdp::SendData(request.channel, request.payload.c_str(), nullptr, CUdpEnds::Recv,
                              kTimeoutMs, ends.Param(), &cookie, false),
              0);
    sent[cookie] = request;
    if ((roll >> 20) % 10 == 0) {
      // Stop a random earlier request that has not ended.
      auto victim = sent.lower_bound(static_cast<int>((roll >> 24) % (cookie + 1)));
      if (victim != sent.end() && !victim->second.stopped && ends.ends[victim->first].empty()) {
        victim->second.stopped = true;
        victim->second.sequenceAtStop = ends.sequence;
        victim->second.stoppedWhileQueued = ZvUdp::StopTask(victim->first) == 0;
      }
    }
    if (i == kRequests / 2) {
      closedChannel = channels[0];
      sequenceAtClose = ends.sequence;
      ASSERT_EQ(ZvUdp::CloseChannel(closedChannel), 0);
    }
    ZvMsgLoop::Pump(static_cast<unsigned>((roll >> 40) % 8));
  }
  auto settled = [&] {
    for (const auto& [cookie, request] : sent) {
      const bool endsByItself =
          (!request.stopped || request.stoppedWhileQueued) && request.channel != closedChannel;
      if (endsByItself && ends.ends[cookie].empty()) {
        return false;
      }
    }
    return true;
  };
  EXPECT_TRUE(PumpUntil(settled, 30s));
  PumpFor(4500ms);  // the late replies and two more time-out passes

  int answered = 0, timedOut = 0;
  for (const auto& [cookie, request] : sent) {
    const std::vector<UdpEnd>& got = ends.ends[cookie];
    ASSERT_LE(got.size(), 1u) << "request " << cookie << " answered twice";
    if (request.channel == closedChannel) {
      // Closing ends its requests without callbacks, also one stopped while queued.
      for (const UdpEnd& end : got) EXPECT_LT(end.sequence, sequenceAtClose);
      if (request.stopped && !request.stoppedWhileQueued) {
        for (const UdpEnd& end : got) EXPECT_LT(end.sequence, request.sequenceAtStop);
      }
      continue;
    }
    if (request.stopped) {
      if (request.stoppedWhileQueued) {
        ASSERT_EQ(got.size(), 1u) << "request " << cookie;
        EXPECT_EQ(got[0].code, UDP_TASK_TIMEOUT);
        continue;
      }
      for (const UdpEnd& end : got) EXPECT_LT(end.sequence, request.sequenceAtStop);
      continue;
    }
    ASSERT_EQ(got.size(), 1u) << "request " << cookie;
    if (got[0].code == UDP_TASK_TIMEOUT) {
      ++timedOut;
      continue;
    }
    EXPECT_EQ(got[0].code, UDP_RECV_SUCCESS);
    EXPECT_EQ(got[0].payload, request.payload) << "request " << cookie;
    ++answered;
  }
  for (const auto& [cookie, got] : ends.ends) {
    EXPECT_EQ(sent.count(cookie), 1u) << "a callback for cookie " << cookie << " never used";
  }
  EXPECT_GT(answered, kRequests / 3);
  EXPECT_GT(timedOut, 0);  // the late replies made some
  for (int channel : channels) {
    if (channel != closedChannel) {
      EXPECT_EQ(ZvUdp::CloseChannel(channel), 0);
    }
  }
  ZvUdp::Uninit();
  server.Stop();
}
