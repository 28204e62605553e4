// The family under concurrent use: the order of a request's callbacks when replies race the
// send results, the last Uninit against callbacks on another thread, and many threads sending
// on several channels and one-shots at once.
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "platform/Thread.h"
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
    EXPECT_TRUE(WaitForSummary(cookie, "S1 R0:" + payload)) << Summary(cookie);
    checked = log.Count("CUdpTask checkSum");
  }
  EXPECT_FALSE(log.Contains("CUdpTaskService::OnMulThreadProxyMsg Cookie Invalid"));
}

// Here Uninit is called on another thread while a reply's callback holds this one. A callback
// may also end the family itself, without waiting for itself.
TEST_F(UdpFamilyTest, LastUninitWaitsForCallbacksRunningOnOtherThreads) {
  std::atomic<bool> uninitReturned{false};
  std::thread ending;
  bool returnedDuringTheCallback = true;
  CUdpCallbackLog::Get().SetObserver([&](const UdpCallbackEvent& event) {
    if (event.kind != 'R') return;
    ending = std::thread([&] {
      ZvUdp::Uninit();
      uninitReturned = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return log.Contains("ZvUdp::Uninit for 0 times"); }, kDeadline));
    returnedDuringTheCallback = WaitUntil([&] { return uninitReturned.load(); }, 500ms);
  });
  const int held = Send(CreateChannel(UDP_CHANNEL_DUPLEX), "held in its callback");
  EXPECT_TRUE(WaitForSummary(held, "S1 R0:held in its callback")) << Summary(held);
  initialised = false;
  if (ending.joinable()) ending.join();
  EXPECT_FALSE(returnedDuringTheCallback) << "Uninit returned while a callback ran";
  EXPECT_TRUE(uninitReturned);

  CUdpCallbackLog::Get().Clear();  // the new service counts its cookies from 1 again
  CUdpCallbackLog::Get().SetObserver([](const UdpCallbackEvent& event) {
    if (event.kind == 'R') {
      EXPECT_EQ(ZvUdp::Uninit(), S_OK);
    }
  });
  ASSERT_EQ(ZvUdp::Init(), S_OK);
  const int last = Send(CreateChannel(UDP_CHANNEL_DUPLEX), "ends the family");
  EXPECT_TRUE(WaitForSummary(last, "S1 R0:ends the family")) << Summary(last);
  EXPECT_EQ(log.Count("ZvUdp::Uninit for 0 times"), 2);
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

// Four threads send on three channels owned by two host threads (this one and a second) while
// the second keeps up to fifteen one-shots open (beyond the task limit of ten, so some are held
// back), for a bounded time. Every request must end with exactly its two callbacks, in order,
// on its host.
TEST_F(UdpFamilyTest, StressManyThreadsOnSeveralChannelsAndOneShots) {
  CEndedCookies ended;
  CUdpCallbackLog::Get().SetObserver([&](const UdpCallbackEvent& event) {
    if (event.kind == 'R' || (event.kind == 'C' && event.code != UDP_SEND_SUCCESS)) {
      ended.Add(event.cookie);
    }
  });
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
  auto throttle = [&](std::vector<int>& open, size_t limit, bool pump) {
    std::erase_if(open, [&](int c) { return ended.Has(c); });
    auto frontEnded = [&] { return ended.Has(open.front()); };
    while (open.size() >= limit &&
           (pump ? PumpUntil(frontEnded, 100ms) : WaitUntil(frontEnded, 100ms))) {
      std::erase_if(open, [&](int c) { return ended.Has(c); });
    }
  };

  // The second host: its channel, then one-shots; it pumps until every request has ended.
  std::atomic<int> secondDuplex{0};
  std::atomic<DWORD> secondThread{0};
  std::atomic<bool> allEnded{false}, oneShotsDone{false};
  std::thread second([&] {
    secondThread = GetCurrentThreadId();
    tagUdpServer target{"127.0.0.1", server.Port()};
    int id = 0;
    EXPECT_EQ(ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &target, &id), S_OK);
    secondDuplex = id;
    std::vector<int> open;
    for (int n = 0; std::chrono::steady_clock::now() < stopAt; ++n) {
      const std::string payload = "o-" + std::to_string(n);
      int cookie = 0;
      tagUdpTaskParam param{"127.0.0.1", server.Port(), payload};
      EXPECT_EQ(ZvUdp::SendData(&param, CUdpCallbackLog::OnOneShot, kLongTimeoutMs, &cookie), S_OK);
      record(cookie, "C1 C0:" + payload, secondThread);
      open.push_back(cookie);
      throttle(open, 15, true);
    }
    oneShotsDone = true;
    PumpUntil([&] { return allEnded.load(); }, std::chrono::seconds(90));
  });
  const int duplex = CreateChannel(UDP_CHANNEL_DUPLEX);
  const int sendRecv = CreateChannel(UDP_CHANNEL_SEND_RECV);
  ASSERT_TRUE(WaitUntil([&] { return secondDuplex != 0; }, kDeadline));
  const std::vector<std::pair<int, DWORD>> channels = {{duplex, GetCurrentThreadId()},
                                                       {sendRecv, GetCurrentThreadId()},
                                                       {secondDuplex, secondThread}};

  std::atomic<int> sendersDone{0};
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
          break;
        }
        record(cookie, "S1 R0:" + payload, owner);
        open.push_back(cookie);
        throttle(open, 4, false);
      }
      ++sendersDone;
    });
  }
  const bool allCame = PumpUntil(
      [&] {
        std::lock_guard guard(sentLock);
        return sendersDone == 4 && oneShotsDone && ended.Size() == sent.size();
      },
      std::chrono::seconds(60));
  allEnded = true;
  for (auto& sender : senders) sender.join();
  second.join();
  ASSERT_TRUE(allCame) << ended.Size() << " of " << sent.size() << " requests ended";

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
