#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/win32/Event.h"
#include "platform/win32/NoDestructor.h"
#include "platform/win32/Thread.h"
#include "tests/faults/FaultSeed.h"
#include "tests/udp/UdpFamilyTest.h"
#include "udp/UdpRecords.h"
#include "udp/UdpTask.h"
#include "udp/UdpTaskService.h"
#include "zvnet/zvmsgloop.h"

class UdpConcurrencyTest : public UdpFamilyTest {};

// The sending thread is held after each sendto until the receiving thread has read and checked
// the reply, so the reply is ready to be posted before the send result is.
TEST_F(UdpConcurrencyTest, SendResultComesBeforeTheReplyEvenWhenTheReplyIsReadFirst) {
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
TEST_F(UdpConcurrencyTest, LastUninitWaitsForCallbacksRunningOnOtherThreads) {
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

// Whether the peer answers only well after the request has timed out (a time-out pass runs
// every 2 s, so by 3 s at the latest).
bool LateReply(uint64_t seed, uint32_t cookie) {
  return FaultMix(seed, cookie, 1) % 5 == 0;
}

// Besides its echo: a flood of garbage (a third with the right magic), now and then a reply to
// a cookie no request has, and copies of the echo; or only the echo, late.
std::vector<UdpReplyPlan> Misbehave(uint64_t seed, const UdpServedRequest& request) {
  if (!request.wellFormed) return {};
  uint64_t roll = FaultMix(seed, request.cookie);
  auto next = [&] { return roll = FaultMix(roll, 1); };
  std::vector<UdpReplyPlan> replies(next() % 12);
  for (size_t i = 0; i < replies.size(); ++i) {
    std::vector<unsigned char>& raw = replies[i].raw;
    raw.resize(1 + next() % 1500);
    for (unsigned char& byte : raw) byte = static_cast<unsigned char>(next());
    if (i % 3 == 0 && raw.size() > 2) raw[0] = raw[1] = 0x01;
  }
  if (next() % 4 == 0) {
    replies.emplace_back().cookie = next() % 2 ? request.cookie + 1000000 : 0;
    replies.back().payload = "not yours";
  }
  UdpReplyPlan echo = CUdpReferenceServer::Echo(request).front();
  const bool late = LateReply(seed, request.cookie);
  if (late) echo.delay = std::chrono::milliseconds(4000 + next() % 1000);
  replies.push_back(echo);
  for (uint64_t copies = late ? 0 : next() % 4; copies > 0; --copies) {
    echo.delay = std::chrono::milliseconds(next() % 300);
    replies.push_back(echo);
  }
  return replies;
}

}  // namespace

// Four threads send on three channels owned by two host threads (this one and a second) while
// the second sends one-shots fifteen at a time (beyond the task limit of ten, so some are held
// back); this host stops requests at random and closes a fourth channel it sends on. Every
// request ends on its host with its two callbacks, in order: the reply, or a time-out where
// the reply comes late. Nothing follows a stop or a close, nothing is answered twice.
TEST_F(UdpConcurrencyTest, ManyThreadsAgainstAPeerThatFloodsRepeatsAndAnswersLate) {
  const uint64_t seed = FaultSeed();
  server.SetBehaviour([seed](const UdpServedRequest& request) { return Misbehave(seed, request); });
  struct Request {
    std::string payload;
    DWORD owner = 0;
    int channel = 0;                   // 0 for a one-shot
    std::optional<std::string> final;  // once stopped or closed: all it will ever get
  };
  std::mutex lock;
  std::map<int, Request> sent;
  auto add = [&](int cookie, const std::string& payload, DWORD owner, int channel) {
    std::lock_guard guard(lock);
    sent[cookie] = {payload, owner, channel, std::nullopt};
  };
  auto ended = [&](int cookie) {
    const std::string summary = Summary(cookie);
    std::lock_guard guard(lock);
    return summary.find(' ') != std::string::npos || summary == "R12" || sent[cookie].final;
  };
  const auto stopAt = std::chrono::steady_clock::now() + 1500ms;
  // Sends until stopAt, with at most `window` requests open; a host pumps meanwhile.
  auto run = [&](size_t window, bool pump, const std::function<int(int n)>& sendOne) {
    std::vector<int> open;
    for (int n = 0; std::chrono::steady_clock::now() < stopAt && n < 300; ++n) {
      open.push_back(sendOne(n));
      auto room = [&] {
        std::erase_if(open, ended);
        return open.size() < window;
      };
      if (!(pump ? PumpUntil(room, kDeadline) : WaitUntil(room, kDeadline))) {
        ADD_FAILURE() << "requests did not end";
        return;
      }
    }
  };

  std::atomic<int> secondDuplex{0};
  std::atomic<DWORD> secondThread{0};
  std::atomic<bool> allEnded{false};
  std::thread second([&] {
    secondThread = GetCurrentThreadId();
    secondDuplex = CreateChannel(UDP_CHANNEL_DUPLEX);
    run(15, true, [&](int n) {
      const std::string payload = "o-" + std::to_string(n);
      const int cookie = SendOneShot(payload);
      add(cookie, payload, GetCurrentThreadId(), 0);
      return cookie;
    });
    PumpUntil([&] { return allEnded.load(); }, std::chrono::seconds(90));
  });
  ASSERT_TRUE(WaitUntil([&] { return secondDuplex != 0; }, kDeadline));
  const DWORD me = GetCurrentThreadId();
  const std::pair<int, DWORD> channels[] = {{CreateChannel(UDP_CHANNEL_DUPLEX), me},
                                            {CreateChannel(UDP_CHANNEL_SEND_RECV), me},
                                            {secondDuplex, secondThread}};
  std::atomic<int> sendersDone{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&, t] {
      run(4, false, [&](int n) {
        const auto& [channel, owner] = channels[(t + n) % 3];
        const std::string payload = "t" + std::to_string(t) + "-" + std::to_string(n);
        int cookie = 0;
        EXPECT_EQ(ZvUdp::SendData(channel, payload.c_str(), CUdpCallbackLog::OnSend,
                                  CUdpCallbackLog::OnRecv, kTimeoutMs, t, &cookie, n % 50 == 49),
                  S_OK);
        add(cookie, payload, owner, channel);
        return cookie;
      });
      ++sendersDone;
    });
  }
  int closing = CreateChannel(UDP_CHANNEL_DUPLEX);
  for (uint64_t step = 0; sendersDone < 4; ++step) {
    const uint64_t roll = FaultMix(seed, 7, step);
    const std::string payload = "c-" + std::to_string(step);
    if (closing && step % 16 == 0) add(Send(closing, payload), payload, me, closing);
    // Callbacks of this host's channels run only when it pumps: what it reads stays true.
    std::unique_lock guard(lock);
    if (closing && std::chrono::steady_clock::now() > stopAt - 700ms) {
      for (auto& [cookie, request] : sent) {
        if (request.channel == closing) request.final = Summary(cookie);
      }
      EXPECT_EQ(ZvUdp::CloseChannel(closing), S_OK);
      closing = 0;
    }
    // One step in 50 stops an open request of this host's channels; a queued one still ends
    // with its time-out.
    auto it = sent.lower_bound(static_cast<int>((roll >> 8) % (sent.size() + 1)));
    while (it != sent.end() && (it->second.owner != me || !it->second.channel || it->second.final))
      ++it;
    const std::string summary = it == sent.end() || roll % 50 ? " " : Summary(it->first);
    if (summary.find(' ') == std::string::npos && summary != "R12") {
      it->second.final = summary + (ZvUdp::StopTask(it->first) == S_OK ? "R12" : "");
    }
    guard.unlock();
    ZvMsgLoop::Pump(static_cast<unsigned>(roll >> 40) % 4);
  }
  for (auto& sender : senders) sender.join();
  std::vector<int> cookies;
  for (const auto& entry : sent) cookies.push_back(entry.first);
  EXPECT_TRUE(PumpUntil([&] { return std::all_of(cookies.begin(), cookies.end(), ended); }));
  PumpFor(4s);  // the late replies and the copies
  allEnded = true;
  second.join();

  for (const UdpCallbackEvent& event : CUdpCallbackLog::Get().All()) {
    ASSERT_EQ(sent.count(event.cookie), 1u) << "a callback for cookie " << event.cookie;
    EXPECT_EQ(event.threadId, sent[event.cookie].owner) << "cookie " << event.cookie;
  }
  size_t answered = 0, ran = 0;
  for (const auto& [cookie, request] : sent) {
    const std::string got = Summary(cookie);
    const std::string kinds = request.channel ? "SR" : "CC";
    const std::string answer = kinds[0] + std::string("1 ") + kinds[1] + "0:" + request.payload;
    if (request.final) {
      EXPECT_EQ(got, *request.final) << "cookie " << cookie << " stopped or closed";
    } else {
      EXPECT_TRUE(got == kinds[0] + std::string("1 ") + kinds[1] + "12" ||
                  (got == answer && !LateReply(seed, cookie)))
          << "cookie " << cookie << ": " << got;
      ++ran;
    }
    answered += got == answer;
  }
  EXPECT_GT(answered, ran / 2);
  RecordProperty("requests", static_cast<int>(sent.size()));
}

// Threads that end with requests open, as pool threads of a host do: channels each with a
// request to a silent peer, and ten one-shots to it (the whole task limit). What they had is
// dropped with their windows, without callbacks, and the dead threads' tasks all end (that
// later requests are answered is UdpFamilyTest.ThreadsThatEndWithOpenRequestsHoldNothingBack).
// A reply that reached a thread which ended without dispatching it is freed with its window.
TEST_F(UdpConcurrencyTest, ThreadsThatEndWithOpenRequestsLeaveNothingBehind) {
  auto heldReplies = [] {
    return CUdpTaskService::CurrentForTesting()->CountsForTesting().replies;
  };
  std::thread([&] {
    SendOneShot("answered, never dispatched");
    WaitUntil([&] { return heldReplies() == 1; }, kDeadline);
  }).join();
  EXPECT_EQ(heldReplies(), 0u);
  for (int t = 0; t < 3; ++t) {
    std::thread([&] {
      for (int c = 0; c < 3; ++c) Send(CreateChannel(UDP_CHANNEL_DUPLEX), "silent", 600000);
      for (int i = 0; i < 10; ++i) SendOneShot("silent", 600000);
    }).join();
  }
  EXPECT_TRUE(WaitUntil([] { return CUdpTask::LiveCountForTesting() == 0; }, kDeadline))
      << CUdpTask::LiveCountForTesting() << " tasks of ended threads still alive";
  for (const UdpCallbackEvent& event : CUdpCallbackLog::Get().All()) {
    EXPECT_EQ(event.threadId, GetCurrentThreadId()) << "callback on an ended thread's behalf";
  }
}

// A stop or a close made on another thread returns only once no callback of what it stopped
// runs, and none starts afterwards: the host may free the request's context right then. The
// callbacks run on this thread and take a while; a second thread stops or closes each request
// as soon as its first callback has started and then marks it freed.
TEST_F(UdpConcurrencyTest, NoCallbackRunsAfterAStopOrACloseFromAnotherThreadReturns) {
  struct Context {
    std::atomic<bool> started{false};
    std::atomic<bool> freed{false};
  };
  static std::map<int, Context>* contexts;
  static std::atomic<int> violations;
  std::map<int, Context> all;
  contexts = &all;
  violations = 0;
  auto check = [](int cookie) {
    auto it = contexts->find(cookie);
    if (it == contexts->end()) return;
    if (it->second.freed) ++violations;
    it->second.started = true;
    std::this_thread::sleep_for(2ms);  // widens the window a stop may fall into
    if (it->second.freed) ++violations;
  };
  static std::function<void(int)> onCallback;
  onCallback = check;
  UdpTaskCallback callback = [](int cookie, unsigned long, UDP_ERRORCODE, tagUdpOut*) -> int {
    onCallback(cookie);
    return 0;
  };
  constexpr int kRounds = 40;
  for (int round = 0; round < kRounds; ++round) {
    const bool close = round % 2 == 1;
    const int channel = CreateChannel(UDP_CHANNEL_DUPLEX);
    int cookie = 0;
    ASSERT_EQ(ZvUdp::SendData(channel, "stopped while answered", callback, callback, kTimeoutMs, 0,
                              &cookie, false),
              S_OK);
    Context& context = all[cookie];
    std::thread stopper([&] {
      WaitUntil([&] { return context.started.load(); }, kDeadline);
      if (close) {
        ZvUdp::CloseChannel(channel);
      } else {
        ZvUdp::StopTask(cookie);
      }
      context.freed = true;
    });
    PumpUntil([&] { return context.freed.load(); }, kDeadline);
    stopper.join();
    PumpFor(5ms);
    if (!close) ZvUdp::CloseChannel(channel);
  }
  EXPECT_EQ(violations.load(), 0) << "callbacks ran after the call that stopped them returned";
  contexts = nullptr;
}

namespace {

// Holds the thread that posts the first reply after Arm, right after that post, until Release
// or a deadline. The event outlives every test, as a held thread may still be leaving it.
class CHoldAfterReply {
 public:
  CHoldAfterReply() {
    released().Reset();
    CUdpTask::SetPostedHookForTesting(&CHoldAfterReply::Posted);
  }
  ~CHoldAfterReply() {
    Release();
    CUdpTask::SetPostedHookForTesting(nullptr);
  }
  CHoldAfterReply(const CHoldAfterReply&) = delete;
  CHoldAfterReply& operator=(const CHoldAfterReply&) = delete;

  void Arm() { armed = true; }
  void Release() { released().Set(); }

 private:
  static CEvent& released() {
    static NoDestructor<CEvent> event(CEvent::ResetMode::kManual);
    return *event;
  }
  static void Posted(UINT msg, WPARAM) {
    if (msg == WM_UDPTASK_RECV_COMPLETE && armed.exchange(false)) released().Wait(20000);
  }
  static inline std::atomic<bool> armed{false};
};

}  // namespace

// A reply reaches the host, and then a time-out pass runs after the request's time has passed,
// before the task that read the reply can post anything more: the request has ended with its
// reply and gets no time-out besides.
TEST_F(UdpConcurrencyTest, ARequestEndsOnceWhenATimeOutPassFollowsItsReply) {
  CHoldAfterReply hold;
  const int channel = CreateChannel(UDP_CHANNEL_DUPLEX);
  hold.Arm();
  const int answered = Send(channel, "answered");
  ASSERT_TRUE(WaitForSummary(answered, "S1 R0:answered")) << Summary(answered);
  // Sent later with the same time-out: its time-out comes from a pass after the first's time.
  const int sentinel = Send(channel, "silent");
  EXPECT_TRUE(PumpUntil([&] { return Summary(sentinel).ends_with("R12"); }, kDeadline));
  EXPECT_EQ(Summary(answered), "S1 R0:answered");
  hold.Release();
}
