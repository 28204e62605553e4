// The UDP family of the Windows build through its exports: each channel type and the one-shot
// form against the reference server on the Linux side of loopback, replies accepted only from
// the server's port, a stopped request, and callbacks on the thread that asked.
#include <winsock2.h>
#include <ws2tcpip.h>
// After winsock2.h, which must come before windows.h.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "tests/support/Pump.h"
#include "tests/udp/UdpCallbackLog.h"
#include "zvnet/zvmsgloop.h"

namespace {

constexpr unsigned kTimeoutMs = 1000;  // a time-out pass runs every 2 s

// A UDP socket on 127.0.0.1 of the Windows side, that the test answers from itself.
class CTestSocket {
 public:
  CTestSocket() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
    socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in local{AF_INET, 0, {}, {}};
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(socket, reinterpret_cast<sockaddr*>(&local), sizeof local);
    int length = sizeof local;
    ::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length);
    port = ntohs(local.sin_port);
  }
  ~CTestSocket() {
    ::closesocket(socket);
    ::WSACleanup();
  }
  CTestSocket(const CTestSocket&) = delete;
  CTestSocket& operator=(const CTestSocket&) = delete;

  // One datagram within 20 s, or empty; `from` receives its sender.
  std::vector<char> Receive(sockaddr_in* from) {
    const DWORD deadlineMs = 20000;
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&deadlineMs),
                 sizeof deadlineMs);
    std::vector<char> buffer(2048);
    int fromLength = sizeof *from;
    const int n = ::recvfrom(socket, buffer.data(), static_cast<int>(buffer.size()), 0,
                             reinterpret_cast<sockaddr*>(from), &fromLength);
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
  }
  void SendTo(const std::vector<char>& bytes, const sockaddr_in& to) {
    ::sendto(socket, bytes.data(), static_cast<int>(bytes.size()), 0,
             reinterpret_cast<const sockaddr*>(&to), sizeof to);
  }

  SOCKET socket = INVALID_SOCKET;
  unsigned short port = 0;
};

class UdpWindowsTest : public ::testing::Test {
 protected:
  // The reference server of the Linux side, as ZVNET_UDP_SERVER=host:port.
  void SetUp() override {
    const std::string address =
        std::getenv("ZVNET_UDP_SERVER") ? std::getenv("ZVNET_UDP_SERVER") : "";
    host = address.substr(0, address.rfind(':'));
    port = static_cast<unsigned short>(std::atoi(address.substr(address.rfind(':') + 1).c_str()));
    ASSERT_NE(port, 0) << "ZVNET_UDP_SERVER=host:port is not set";
    CUdpCallbackLog::Get().Clear();
    ASSERT_EQ(ZvUdp::Init(), S_OK);
  }
  void TearDown() override { ZvUdp::Uninit(); }

  int CreateChannel(UDP_CHANNEL_TYPE type, unsigned short serverPort) {
    tagUdpServer server{"127.0.0.1", serverPort};
    int channel = 0;
    EXPECT_EQ(ZvUdp::CreateChannel(type, &server, &channel), S_OK);
    return channel;
  }
  int Send(int channel, const char* payload) {
    int cookie = 0;
    EXPECT_EQ(ZvUdp::SendData(channel, payload, CUdpCallbackLog::OnSend, CUdpCallbackLog::OnRecv,
                              kTimeoutMs, 77, &cookie, false),
              S_OK);
    return cookie;
  }
  static std::string Summary(int cookie) { return CUdpCallbackLog::Get().Summary(cookie); }
  static bool WaitFor(int cookie, const std::string& expected) {
    return PumpUntil([&] { return Summary(cookie) == expected; }, 20s);
  }
  // Every callback of the cookie ran on this thread.
  static void ExpectCallbacksOn(int cookie, DWORD thread) {
    for (const UdpCallbackEvent& event : CUdpCallbackLog::Get().All()) {
      if (event.cookie == cookie) {
        EXPECT_EQ(event.threadId, thread) << "cookie " << cookie;
      }
    }
  }

  std::string host;
  unsigned short port = 0;
};

}  // namespace

TEST_F(UdpWindowsTest, EachChannelTypeAndTheOneShotFormEndAsOnLinux) {
  struct Row {
    const char* name;
    int type;  // a UDP_CHANNEL_TYPE, or -1 for the one-shot form
    const char* expected;
  };
  const Row rows[] = {
      {"send only: no reader, so the reply times out", UDP_CHANNEL_SEND, "S1 R12"},
      {"receive only: nothing is sent", UDP_CHANNEL_RECV, "R12"},
      {"send then receive on one thread", UDP_CHANNEL_SEND_RECV, "S1 R0:hello"},
      {"duplex: a sender and a reader", UDP_CHANNEL_DUPLEX, "S1 R0:hello"},
      {"one-shot", -1, "C1 C0:hello"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int cookie = 0;
    if (row.type < 0) {
      tagUdpTaskParam param{host, port, "hello"};
      ASSERT_EQ(ZvUdp::SendData(&param, CUdpCallbackLog::OnOneShot, kTimeoutMs, &cookie), S_OK);
    } else {
      cookie = Send(CreateChannel(static_cast<UDP_CHANNEL_TYPE>(row.type), port), "hello");
    }
    EXPECT_TRUE(WaitFor(cookie, row.expected)) << Summary(cookie);
    ExpectCallbacksOn(cookie, ::GetCurrentThreadId());
  }
}

// Only the server's address and port may answer: a reply from another port of the same host
// is dropped (it counts as one read), and the right one after it is taken.
TEST_F(UdpWindowsTest, RepliesCountOnlyFromTheServersPort) {
  CTestSocket server;
  CTestSocket foreign;
  const int channel = CreateChannel(UDP_CHANNEL_DUPLEX, server.port);
  std::thread answering([&] {
    for (bool alsoFromServer : {false, true}) {
      sockaddr_in client{};
      std::vector<char> reply = server.Receive(&client);  // less its terminating zero
      if (reply.empty()) return;
      reply.pop_back();
      foreign.SendTo(reply, client);
      if (alsoFromServer) server.SendTo(reply, client);
    }
  });
  const int foreignOnly = Send(channel, "foreign only");
  EXPECT_TRUE(WaitFor(foreignOnly, "S1 R12")) << Summary(foreignOnly);
  const int thenServer = Send(channel, "foreign then server");
  EXPECT_TRUE(WaitFor(thenServer, "S1 R0:foreign then server")) << Summary(thenServer);
  answering.join();
}

// A stopped request gets nothing more; the sentinel sent after it, with the same time-out,
// shows that its time would have come.
TEST_F(UdpWindowsTest, StoppedRequestGetsNoFurtherCallback) {
  CTestSocket silent;
  const int channel = CreateChannel(UDP_CHANNEL_DUPLEX, silent.port);
  const int stopped = Send(channel, "stopped");
  ASSERT_TRUE(WaitFor(stopped, "S1"));
  EXPECT_EQ(ZvUdp::StopTask(stopped), E_FAIL) << "already sent: forgotten, answered E_FAIL";
  const int sentinel = Send(channel, "sentinel");
  ASSERT_TRUE(WaitFor(sentinel, "S1 R12")) << Summary(sentinel);
  EXPECT_EQ(Summary(stopped), "S1");
  EXPECT_EQ(ZvUdp::CloseChannel(channel), S_OK);
}

// Each thread's requests are answered on that thread, through its own window and timer.
TEST_F(UdpWindowsTest, CallbacksRunOnTheThreadThatAsked) {
  auto ask = [&](const char* payload, int* cookie, DWORD* thread, bool* done) {
    *thread = ::GetCurrentThreadId();
    tagUdpTaskParam param{host, port, payload};
    ZvUdp::SendData(&param, CUdpCallbackLog::OnOneShot, kTimeoutMs, cookie);
    const std::string expected = std::string("C1 C0:") + payload;
    *done = WaitFor(*cookie, expected);
  };
  int cookies[2] = {};
  DWORD threads[2] = {};
  bool done[2] = {};
  std::thread first(ask, "first", &cookies[0], &threads[0], &done[0]);
  std::thread second(ask, "second", &cookies[1], &threads[1], &done[1]);
  first.join();
  second.join();
  for (int i = 0; i < 2; ++i) {
    EXPECT_TRUE(done[i]) << Summary(cookies[i]);
    ExpectCallbacksOn(cookies[i], threads[i]);
  }
}
