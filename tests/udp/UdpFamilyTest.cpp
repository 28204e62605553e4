#include "tests/udp/UdpFamilyTest.h"

#include "platform/win32/Thread.h"
#include "udp/UdpTask.h"

std::vector<UdpReplyPlan> UdpFamilyTest::ScriptedReplies(const UdpServedRequest& request) {
  const std::string& text = request.payload;
  auto is = [&](const char* word) { return text.rfind(word, 0) == 0; };
  if (!request.wellFormed || is("silent")) return {};
  UdpReplyPlan plan;
  plan.cookie = request.cookie;
  plan.payload = text;
  UdpReplyPlan before = plan;  // a datagram sent ahead of the reply
  if (is("delay:")) plan.delay = std::chrono::milliseconds(std::stoi(text.substr(6)));
  if (is("empty-reply")) plan.payload.clear();
  if (is("odd-magic")) plan.magic[0] = plan.magic[1] = 0x7E;
  if (is("max-size")) plan.payload.assign(1012, 'm');
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

void UdpFamilyTest::SetUp() {
  CUdpCallbackLog::Get().Clear();
  server.SetBehaviour(&UdpFamilyTest::ScriptedReplies);
  ASSERT_EQ(server.Start(), S_OK);
  ASSERT_EQ(ZvUdp::Init(), S_OK);
  initialised = true;
}

void UdpFamilyTest::TearDown() {
  if (initialised) ZvUdp::Uninit();
  // Tasks end on their own after Uninit; none may be left for the next test.
  EXPECT_TRUE(WaitUntil([] { return CUdpTask::LiveCountForTesting() == 0; }, kDeadline))
      << CUdpTask::LiveCountForTesting() << " tasks still alive";
  server.Stop();
}

int UdpFamilyTest::CreateChannel(UDP_CHANNEL_TYPE type, unsigned short port,
                                 const std::string& host) {
  int id = 0;
  tagUdpServer target{host, port ? port : server.Port()};
  EXPECT_EQ(ZvUdp::CreateChannel(type, &target, &id), S_OK) << "channel of type " << type;
  return id;
}

int UdpFamilyTest::Send(int channelId, const std::string& payload, unsigned timeoutMs,
                        bool resetDomain) {
  int cookie = 0;
  EXPECT_EQ(ZvUdp::SendData(channelId, payload.c_str(), CUdpCallbackLog::OnSend,
                            CUdpCallbackLog::OnRecv, timeoutMs, 77, &cookie, resetDomain),
            S_OK);
  return cookie;
}

int UdpFamilyTest::SendOneShot(const std::string& payload, unsigned timeoutMs, unsigned short port,
                               const std::string& host) {
  int cookie = 0;
  tagUdpTaskParam param{host, port ? port : server.Port(), payload};
  EXPECT_EQ(ZvUdp::SendData(&param, CUdpCallbackLog::OnOneShot, timeoutMs, &cookie), S_OK);
  return cookie;
}

bool UdpFamilyTest::WaitForSummary(int cookie, const std::string& expected) {
  return PumpUntil([&] { return Summary(cookie) == expected; }, kDeadline);
}

void UdpFamilyTest::ExpectAllCallbacksOnThisThread() {
  for (const UdpCallbackEvent& event : CUdpCallbackLog::Get().All()) {
    EXPECT_EQ(event.threadId, GetCurrentThreadId()) << "callback of cookie " << event.cookie;
  }
}
