// The family under concurrent use: the order of a request's callbacks when replies race the
// send results, the last Uninit against callbacks on another thread, and many threads sending
// on several channels and one-shots at once.
#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/win32/Thread.h"
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

// Four threads send on three channels owned by two host threads (this one and a second) while
// the second sends one-shots fifteen at a time (beyond the task limit of ten, so some are held
// back), for a bounded time. Every request must end with exactly its two callbacks, in order,
// on its host.
TEST_F(UdpFamilyTest, StressManyThreadsOnSeveralChannelsAndOneShots) {
  constexpr unsigned kLongTimeoutMs = 60000;  // nothing may end by time-out here
  const auto stopAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  std::mutex sentLock;
  std::map<int, std::pair<std::string, DWORD>> sent;  // cookie: expected summary, host thread
  // Sends bursts of `burst` requests until stopAt, each once the previous one has ended; a
  // host pumps meanwhile.
  auto run = [&](int burst, bool pump, const std::function<int(int n)>& sendOne) {
    for (int n = 0; std::chrono::steady_clock::now() < stopAt && n < 400;) {
      std::vector<int> open;
      for (int i = 0; i < burst; ++i) open.push_back(sendOne(n++));
      auto ended = [&] {
        return std::all_of(open.begin(), open.end(),
                           [&](int c) { return Summary(c).find(' ') != std::string::npos; });
      };
      if (!(pump ? PumpUntil(ended, kDeadline) : WaitUntil(ended, kDeadline))) {
        ADD_FAILURE() << "a burst did not end";
        return;
      }
    }
  };
  auto expect = [&](int cookie, std::string summary) {
    std::lock_guard guard(sentLock);
    sent[cookie] = {std::move(summary), GetCurrentThreadId()};
  };

  std::atomic<int> secondDuplex{0};
  std::atomic<DWORD> secondThread{0};
  std::atomic<bool> allEnded{false};
  std::thread second([&] {
    secondThread = GetCurrentThreadId();
    secondDuplex = CreateChannel(UDP_CHANNEL_DUPLEX);
    run(15, true, [&](int n) {
      const std::string payload = "o-" + std::to_string(n);
      const int cookie = SendOneShot(payload, kLongTimeoutMs);
      expect(cookie, "C1 C0:" + payload);
      return cookie;
    });
    PumpUntil([&] { return allEnded.load(); }, std::chrono::seconds(90));
  });
  ASSERT_TRUE(WaitUntil([&] { return secondDuplex != 0; }, kDeadline));
  const std::pair<int, DWORD> channels[] = {
      {CreateChannel(UDP_CHANNEL_DUPLEX), GetCurrentThreadId()},
      {CreateChannel(UDP_CHANNEL_SEND_RECV), GetCurrentThreadId()},
      {secondDuplex, secondThread}};
  std::atomic<int> sendersDone{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      run(4, false, [&](int n) {
        const auto& [channel, owner] = channels[(t + n) % 3];
        const std::string payload = "t" + std::to_string(t) + "-" + std::to_string(n);
        int cookie = 0;
        EXPECT_EQ(
            ZvUdp::SendData(channel, payload.c_str(), CUdpCallbackLog::OnSend,
                            CUdpCallbackLog::OnRecv, kLongTimeoutMs, t, &cookie, n % 50 == 49),
            S_OK);
        std::lock_guard guard(sentLock);
        sent[cookie] = {"S1 R0:" + payload, owner};
        return cookie;
      });
      ++sendersDone;
    });
  }
  PumpUntil([&] { return sendersDone == 4; }, std::chrono::seconds(90));
  allEnded = true;
  for (auto& sender : senders) sender.join();
  second.join();

  for (const UdpCallbackEvent& event : CUdpCallbackLog::Get().All()) {
    ASSERT_EQ(sent.count(event.cookie), 1u) << "a callback for cookie " << event.cookie;
    EXPECT_EQ(event.threadId, sent[event.cookie].second) << "cookie " << event.cookie;
  }
  for (const auto& [cookie, expected] : sent) {
    EXPECT_EQ(Summary(cookie), expected.first) << "cookie " << cookie;
  }
  EXPECT_GT(sent.size(), 40u);
  RecordProperty("requests", static_cast<int>(sent.size()));
}
