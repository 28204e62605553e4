// The fixture of the UDP family's tests: a reference server on loopback that answers by the
// payload's first word (ScriptedReplies), the log capture and an initialised ZvUdp. Channels
// and one-shot requests are made on the test's thread, which runs their callbacks whenever it
// pumps (WaitForSummary).
#ifndef ZVNET_TESTS_UDP_UDPFAMILYTEST_H_
#define ZVNET_TESTS_UDP_UDPFAMILYTEST_H_

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/win32/Event.h"
#include "tests/support/LogCapture.h"
#include "tests/support/Pump.h"
#include "tests/udp/UdpCallbackLog.h"
#include "tools/UdpReferenceServer.h"
#include "udp/UdpDatagram.h"
#include "udp/UdpTask.h"

// Stands in for sendto in every UDP task while it lives, for the send outcomes loopback never
// produces. By the payload's first word: "hook-timeout" fails as a send time-out, "hook-part"
// sends all but the last byte, "hook-block" waits for Release() (or fails with EAGAIN when the
// caller asked not to wait), "hook-slow" holds the sending thread after sending until the slow
// condition holds. One hook at a time.
class CSendToHook {
 public:
  CSendToHook() {
    active = this;
    CUdpTask::SetSendToForTesting(&CSendToHook::SendTo);
  }
  ~CSendToHook() {
    Release();
    CUdpTask::SetSendToForTesting(nullptr);
    active = nullptr;
  }
  CSendToHook(const CSendToHook&) = delete;
  CSendToHook& operator=(const CSendToHook&) = delete;

  bool WaitBlocked(std::chrono::milliseconds deadline) {
    return blocked.Wait(static_cast<DWORD>(deadline.count())) == WAIT_OBJECT_0;
  }
  void Release() { released.Set(); }
  void SetSlowCondition(std::function<bool()> done) { slowDone = std::move(done); }

 private:
  static ssize_t SendTo(int fd, const void* buffer, size_t length, int flags, const sockaddr* to,
                        socklen_t toLength) {
    CSendToHook* hook = active;
    auto is = [&](const std::string& word) {
      const auto* payload = static_cast<const unsigned char*>(buffer) + kUdpHeaderSize;
      for (size_t i = 0; hook && length >= kUdpHeaderSize + word.size(); ++i) {
        if (i == word.size()) return true;
        if ((payload[i] ^ kUdpScrambleMask) != static_cast<unsigned char>(word[i])) break;
      }
      return false;
    };
    if (is("hook-timeout") || (is("hook-block") && (flags & MSG_DONTWAIT))) {
      errno = EAGAIN;
      return -1;
    }
    if (is("hook-part")) return ::sendto(fd, buffer, length - 1, flags, to, toLength);
    if (is("hook-block")) {
      hook->blocked.Set();
      hook->released.Wait(INFINITE);
    }
    const ssize_t sent = ::sendto(fd, buffer, length, flags, to, toLength);
    if (is("hook-slow") && hook->slowDone) WaitUntil(hook->slowDone, 3s);
    return sent;
  }

  static inline std::atomic<CSendToHook*> active{nullptr};
  CEvent blocked{CEvent::ResetMode::kManual};
  CEvent released{CEvent::ResetMode::kManual};
  std::function<bool()> slowDone;
};

class UdpFamilyTest : public ::testing::Test {
 protected:
  // Every request of these tests times out after this; a time-out pass runs every 2 s.
  static constexpr unsigned kTimeoutMs = 1000;
  static constexpr auto kDeadline = std::chrono::seconds(20);

  // "delay:<ms>:..." echoes after <ms> ms, "cookie:<n>" echoes with cookie <n>; "*-then-echo"
  // sends a spoilt datagram before the echo; anything unlisted is echoed.
  static std::vector<UdpReplyPlan> ScriptedReplies(const UdpServedRequest& request) {
    const std::string& text = request.payload;
    auto is = [&](const char* word) { return text.rfind(word, 0) == 0; };
    if (!request.wellFormed || is("silent")) return {};
    UdpReplyPlan plan;
    plan.cookie = request.cookie;
    plan.payload = text;
    UdpReplyPlan before = plan;
    if (is("delay:")) plan.delay = std::chrono::milliseconds(std::stoi(text.substr(6)));
    if (is("empty-reply")) plan.payload.clear();
    if (is("odd-magic")) plan.magic[0] = plan.magic[1] = 0x7E;
    if (is("max-size")) plan.payload.assign(1012, 'm');  // a 1024-byte reply
    if (is("over-max")) plan.payload.assign(1013, 'o');
    if (is("trailing-zero")) plan.trailingZero = true;
    if (is("bad-checksum")) plan.wrongCheckSum = true;
    if (is("wrong-length")) plan.lengthSkew = 1;
    if (is("foreign-port")) plan.fromOtherPort = true;
    if (is("other-cookie")) plan.cookie += 1000;
    if (is("cookie:")) plan.cookie = static_cast<uint32_t>(std::stoul(text.substr(7)));
    if (is("over-then-echo")) before.padTo = 1100;
    if (is("foreign-then-echo")) before.fromOtherPort = true;
    if (is("over-then-echo") || is("foreign-then-echo")) return {before, plan};
    return {plan};
  }

  void SetUp() override {
    CUdpCallbackLog::Get().Clear();
    server.SetBehaviour(&UdpFamilyTest::ScriptedReplies);
    ASSERT_EQ(server.Start(), S_OK);
    ASSERT_EQ(ZvUdp::Init(), S_OK);
    initialised = true;
  }
  void TearDown() override {
    if (initialised) ZvUdp::Uninit();
    // Tasks end on their own after Uninit; none may be left for the next test.
    EXPECT_TRUE(WaitUntil([] { return CUdpTask::LiveCountForTesting() == 0; }, kDeadline))
        << CUdpTask::LiveCountForTesting() << " tasks still alive";
    server.Stop();
  }

  // Port 0 stands for the reference server's.
  int CreateChannel(UDP_CHANNEL_TYPE type, unsigned short port = 0,
                    const std::string& host = "127.0.0.1") {
    int id = 0;
    tagUdpServer target{host, port ? port : server.Port()};
    EXPECT_EQ(ZvUdp::CreateChannel(type, &target, &id), S_OK) << "channel of type " << type;
    return id;
  }
  // With both recording callbacks and userParam 77.
  int Send(int channelId, const std::string& payload, unsigned timeoutMs = kTimeoutMs,
           bool resetDomain = false) {
    int cookie = 0;
    EXPECT_EQ(ZvUdp::SendData(channelId, payload.c_str(), CUdpCallbackLog::OnSend,
                              CUdpCallbackLog::OnRecv, timeoutMs, 77, &cookie, resetDomain),
              S_OK);
    return cookie;
  }
  int SendOneShot(const std::string& payload, unsigned timeoutMs = kTimeoutMs,
                  unsigned short port = 0, const std::string& host = "127.0.0.1") {
    int cookie = 0;
    tagUdpTaskParam param{host, port ? port : server.Port(), payload};
    EXPECT_EQ(ZvUdp::SendData(&param, CUdpCallbackLog::OnOneShot, timeoutMs, &cookie), S_OK);
    return cookie;
  }

  std::string Summary(int cookie) { return CUdpCallbackLog::Get().Summary(cookie); }
  // Pumps until the cookie's callbacks read `expected`.
  bool WaitForSummary(int cookie, const std::string& expected) {
    return PumpUntil([&] { return Summary(cookie) == expected; }, kDeadline);
  }
  void ExpectAllCallbacksOnThisThread() {
    for (const UdpCallbackEvent& event : CUdpCallbackLog::Get().All()) {
      EXPECT_EQ(event.threadId, GetCurrentThreadId()) << "callback of cookie " << event.cookie;
    }
  }

  CLogCapture log;
  CUdpReferenceServer server;
  bool initialised = false;
};

#endif  // ZVNET_TESTS_UDP_UDPFAMILYTEST_H_
