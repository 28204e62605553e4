// The fixture of the UDP family's tests: a reference server on loopback that answers by the
// payload's first word (tools/UdpScriptedReplies.h), the log capture and an initialised ZvUdp.
// Channels and one-shot requests are made on the test's thread, which runs their callbacks
// whenever it pumps (WaitForSummary). The Windows tests share the cases that need only the
// exports and the scripted server, which is then zvnet_windows_test_server's on the Linux side
// (ZVNET_UDP_SERVER=host:port); the server object, the log capture and the send hook are
// Linux's.
#ifndef ZVNET_TESTS_UDP_UDPFAMILYTEST_H_
#define ZVNET_TESTS_UDP_UDPFAMILYTEST_H_

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/Pump.h"
#include "tests/udp/UdpCallbackLog.h"

#ifndef _WIN32
#include <sys/socket.h>

#include <cerrno>

#include "platform/win32/Event.h"
#include "tests/support/LogCapture.h"
#include "tools/UdpReferenceServer.h"
#include "tools/UdpScriptedReplies.h"
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
#endif

class UdpFamilyTest : public ::testing::Test {
 protected:
  // Every request of these tests times out after this; a time-out pass runs every 2 s.
  static constexpr unsigned kTimeoutMs = 1000;
  static constexpr auto kDeadline = std::chrono::seconds(20);

  void SetUp() override {
    CUdpCallbackLog::Get().Clear();
#ifdef _WIN32
    const char* address = std::getenv("ZVNET_UDP_SERVER");
    ASSERT_TRUE(address && std::strchr(address, ':')) << "ZVNET_UDP_SERVER=host:port is not set";
    serverPort = static_cast<unsigned short>(std::atoi(std::strchr(address, ':') + 1));
#else
    server.SetBehaviour(&ScriptedUdpReplies);
    ASSERT_EQ(server.Start(), S_OK);
    serverPort = server.Port();
#endif
    ASSERT_EQ(ZvUdp::Init(), S_OK);
    initialised = true;
  }
  void TearDown() override {
    if (initialised) ZvUdp::Uninit();
#ifndef _WIN32
    // Tasks end on their own after Uninit; none may be left for the next test.
    EXPECT_TRUE(WaitUntil([] { return CUdpTask::LiveCountForTesting() == 0; }, kDeadline))
        << CUdpTask::LiveCountForTesting() << " tasks still alive";
    server.Stop();
#endif
  }

  // Port 0 stands for the reference server's.
  int CreateChannel(UDP_CHANNEL_TYPE type, unsigned short port = 0,
                    const std::string& host = "127.0.0.1") {
    int id = 0;
    tagUdpServer target{host, port ? port : serverPort};
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
    tagUdpTaskParam param{host, port ? port : serverPort, payload};
    EXPECT_EQ(ZvUdp::SendData(&param, CUdpCallbackLog::OnOneShot, timeoutMs, &cookie), S_OK);
    return cookie;
  }

  std::string Summary(int cookie) {
    return CUdpCallbackLog::Get().Summary(cookie);
  }
  // Pumps until the cookie's callbacks read `expected`.
  bool WaitForSummary(int cookie, const std::string& expected) {
    return PumpUntil([&] { return Summary(cookie) == expected; }, kDeadline);
  }
  void ExpectAllCallbacksOnThisThread() {
    for (const UdpCallbackEvent& event : CUdpCallbackLog::Get().All()) {
      EXPECT_EQ(event.threadId, GetCurrentThreadId()) << "callback of cookie " << event.cookie;
    }
  }

#ifndef _WIN32
  CLogCapture log;
  CUdpReferenceServer server;
#endif
  unsigned short serverPort = 0;
  bool initialised = false;
};

#endif  // ZVNET_TESTS_UDP_UDPFAMILYTEST_H_
