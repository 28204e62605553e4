// The UDP family of the Windows build through its exports: each channel type and the one-shot
// form against the reference server on the Linux side of loopback, replies accepted only from
// the server's port, a stopped request, and callbacks on the thread that asked.
#include <gtest/gtest.h>

#include <thread>

#include "tests/windows/WindowsTestSupport.h"
#include "udp/UdpDatagram.h"

namespace {

constexpr unsigned kTimeoutMs = 1000;  // a time-out pass runs every 2 s

class UdpWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ReferenceServer(&host, &port)) << "ZVNET_UDP_SERVER=host:port is not set";
    CCallbackRecord::Get().Clear();
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
    EXPECT_EQ(ZvUdp::SendData(channel, payload, CCallbackRecord::OnSend, CCallbackRecord::OnRecv,
                              kTimeoutMs, 77, &cookie, false),
              S_OK);
    return cookie;
  }
  static bool WaitFor(int cookie, const std::string& expected) {
    return PumpUntil([&] { return CCallbackRecord::Get().Summary(cookie) == expected; });
  }
  static std::string Summary(int cookie) { return CCallbackRecord::Get().Summary(cookie); }

  std::string host;
  unsigned short port = 0;
};

// A reply of the reference format to a request: the request without its terminating zero.
std::vector<unsigned char> ReplyTo(std::vector<unsigned char> request) {
  if (!request.empty()) request.pop_back();
  return request;
}

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
      ASSERT_EQ(ZvUdp::SendData(&param, CCallbackRecord::OnOneShot, kTimeoutMs, &cookie), S_OK);
    } else {
      cookie = Send(CreateChannel(static_cast<UDP_CHANNEL_TYPE>(row.type), port), "hello");
    }
    EXPECT_TRUE(WaitFor(cookie, row.expected)) << Summary(cookie);
    for (DWORD thread : CCallbackRecord::Get().Threads(cookie)) {
      EXPECT_EQ(thread, ::GetCurrentThreadId());
    }
  }
}

// Only the server's address and port may answer: a reply from another port of the same host
// is dropped (it counts as one read), and the right one after it is taken.
TEST_F(UdpWindowsTest, RepliesCountOnlyFromTheServersPort) {
  CTestSocket server;
  CTestSocket foreign;
  const int channel = CreateChannel(UDP_CHANNEL_DUPLEX, server.Port());
  std::thread answering([&] {
    for (bool alsoFromServer : {false, true}) {
      sockaddr_in client{};
      const std::vector<unsigned char> request = server.Receive(&client);
      if (request.empty()) return;
      foreign.SendTo(ReplyTo(request), client);
      if (alsoFromServer) server.SendTo(ReplyTo(request), client);
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
  const int channel = CreateChannel(UDP_CHANNEL_DUPLEX, silent.Port());
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
    ZvUdp::SendData(&param, CCallbackRecord::OnOneShot, kTimeoutMs, cookie);
    const std::string expected = std::string("C1 C0:") + payload;
    *done = PumpUntil([&] { return CCallbackRecord::Get().Summary(*cookie) == expected; });
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
    for (DWORD thread : CCallbackRecord::Get().Threads(cookies[i])) EXPECT_EQ(thread, threads[i]);
  }
}
