// The family under concurrent use: the order of a request's callbacks when replies race the
// send results, and many threads sending on several channels and one-shots at once.
#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "tests/udp/SendToHook.h"
#include "tests/udp/UdpFamilyTest.h"

// The sending thread is held after each sendto until the receiving thread has read and checked
// the reply, so the reply is ready to be posted before the send result is.
TEST_F(UdpFamilyTest, SendResultComesBeforeTheReplyEvenWhenTheReplyIsReadFirst) {
  CSendToHook hook;
  const int channel = CreateChannel(UDP_CHANNEL_DUPLEX);
  std::atomic<int> checked{0};
  hook.SetSlowCondition([&] { return log.Count("CUdpTask checkSum") > checked.load(); });
  for (int i = 0; i < 3; ++i) {
    const std::string payload = "hook-slow " + std::to_string(i);
    const int cookie = Send(channel, payload);
    EXPECT_TRUE(
        WaitUntil([&] { return CUdpCallbackLog::Get().For(cookie).size() >= 2; }, kDeadline));
    EXPECT_EQ(Summary(cookie), "S1 R0:" + payload);
    checked = log.Count("CUdpTask checkSum");
  }
  EXPECT_FALSE(log.Contains("CUdpTaskService::OnMulThreadProxyMsg Cookie Invalid"));
}

namespace {

// Cookies whose request has ended (a receive callback or a final one-shot code came).
class CEndedCookies {
 public:
  void Add(int cookie) {
    std::lock_guard guard(lock);
    ended.insert(cookie);
  }
  bool Has(int cookie) {
    std::lock_guard guard(lock);
    return ended.count(cookie) > 0;
  }
  size_t Size() {
    std::lock_guard guard(lock);
    return ended.size();
  }

 private:
  std::mutex lock;
  std::set<int> ended;
};

struct Sent {
  int cookie;
  std::string expected;
  DWORD hostThread;
};

}  // namespace

// Four threads send on three channels owned by two hosts while one host keeps up to fifteen
// one-shots open (beyond the task limit of ten, so some are held back), for a bounded time.
// Every request must end with exactly its two callbacks, in order, on its host.
TEST_F(UdpFamilyTest, StressManyThreadsOnSeveralChannelsAndOneShots) {
  CPumpingHost secondHost;
  CEndedCookies ended;
  CUdpCallbackLog::Get().SetObserver([&](const UdpCallbackEvent& event) {
    if (event.kind == 'R' || (event.kind == 'C' && event.code != UDP_SEND_SUCCESS)) {
      ended.Add(event.cookie);
    }
  });
  const int duplex = CreateChannel(UDP_CHANNEL_DUPLEX);
  const int sendRecv = CreateChannel(UDP_CHANNEL_SEND_RECV);
  int secondDuplex = 0;
  secondHost.Call([&] {
    tagUdpServer target{"127.0.0.1", server.Port()};
    ASSERT_EQ(ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &target, &secondDuplex), S_OK);
  });
  const std::vector<std::pair<int, DWORD>> channels = {{duplex, host->ThreadId()},
                                                       {sendRecv, host->ThreadId()},
                                                       {secondDuplex, secondHost.ThreadId()}};

  constexpr auto kRunFor = std::chrono::milliseconds(1500);
  constexpr size_t kMaxPerSender = 200;
  constexpr unsigned kLongTimeoutMs = 60000;  // nothing may end by time-out here
  const auto stopAt = std::chrono::steady_clock::now() + kRunFor;
  std::mutex sentLock;
  std::vector<Sent> sent;
  auto record = [&](int cookie, std::string expected, DWORD thread) {
    std::lock_guard guard(sentLock);
    sent.push_back({cookie, std::move(expected), thread});
  };
  // Waits (a while) until fewer than `limit` of a sender's requests are open.
  auto throttle = [&](std::vector<int>& open, size_t limit) {
    std::erase_if(open, [&](int c) { return ended.Has(c); });
    while (open.size() >= limit && WaitUntil([&] { return ended.Has(open.front()); }, 100ms)) {
      std::erase_if(open, [&](int c) { return ended.Has(c); });
    }
  };

  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      std::vector<int> open;
      for (size_t n = 0; n < kMaxPerSender && std::chrono::steady_clock::now() < stopAt; ++n) {
        const auto& [channel, owner] = channels[(t + n) % channels.size()];
        const std::string payload = "t" + std::to_string(t) + "-" + std::to_string(n);
        int cookie = 0;
        if (ZvUdp::SendData(channel, payload.c_str(), CUdpCallbackLog::OnSend,
                            CUdpCallbackLog::OnRecv, kLongTimeoutMs, t, &cookie,
                            n % 50 == 49) != S_OK) {
          ADD_FAILURE() << "SendData refused";
          return;
        }
        record(cookie, "S1 R0:" + payload, owner);
        open.push_back(cookie);
        throttle(open, 4);
      }
    });
  }
  std::thread oneShots([&] {
    std::vector<int> open;
    for (int n = 0; std::chrono::steady_clock::now() < stopAt; ++n) {
      const std::string payload = "o-" + std::to_string(n);
      int cookie = 0;
      secondHost.Call([&] {
        tagUdpTaskParam param{"127.0.0.1", server.Port(), payload};
        EXPECT_EQ(ZvUdp::SendData(&param, CUdpCallbackLog::OnOneShot, kLongTimeoutMs, &cookie),
                  S_OK);
      });
      record(cookie, "C1 C0:" + payload, secondHost.ThreadId());
      open.push_back(cookie);
      throttle(open, 15);
    }
  });
  for (auto& sender : senders) sender.join();
  oneShots.join();

  ASSERT_TRUE(WaitUntil([&] { return ended.Size() == sent.size(); }, std::chrono::seconds(60)))
      << ended.Size() << " of " << sent.size() << " requests ended";
  host->Call([] { CUdpCallbackLog::Get().SetObserver(nullptr); });
  std::map<int, std::vector<UdpCallbackEvent>> byCookie;
  for (const UdpCallbackEvent& event : CUdpCallbackLog::Get().All()) {
    byCookie[event.cookie].push_back(event);
  }
  EXPECT_EQ(byCookie.size(), sent.size()) << "callbacks for cookies nobody sent";
  for (const Sent& request : sent) {
    EXPECT_EQ(Summary(request.cookie), request.expected) << "cookie " << request.cookie;
    for (const UdpCallbackEvent& event : byCookie[request.cookie]) {
      EXPECT_EQ(event.threadId, request.hostThread) << "cookie " << request.cookie;
    }
  }
  EXPECT_GT(sent.size(), 40u);
  RecordProperty("requests", static_cast<int>(sent.size()));
}
