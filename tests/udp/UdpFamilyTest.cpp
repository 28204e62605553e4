#include "tests/udp/UdpFamilyTest.h"

#include "platform/Thread.h"
#include "udp/UdpTask.h"

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

UdpReplyPlan EchoOf(const UdpServedRequest& request) {
  UdpReplyPlan plan;
  plan.cookie = request.cookie;
  plan.payload = request.payload;
  return plan;
}

}  // namespace

std::vector<UdpReplyPlan> UdpFamilyTest::ScriptedReplies(const UdpServedRequest& request) {
  if (!request.wellFormed) return {};
  const std::string& text = request.payload;
  UdpReplyPlan plan = EchoOf(request);
  if (StartsWith(text, "silent")) return {};
  if (StartsWith(text, "delay:")) {
    plan.delay = std::chrono::milliseconds(std::stoi(text.substr(6)));
  } else if (StartsWith(text, "empty-reply")) {
    plan.payload.clear();
  } else if (StartsWith(text, "odd-magic")) {
    plan.magic[0] = 0x7E;
    plan.magic[1] = 0x00;
  } else if (StartsWith(text, "max-size")) {
    plan.payload.assign(1012, 'm');
  } else if (StartsWith(text, "over-max")) {
    plan.payload.assign(1013, 'o');
  } else if (StartsWith(text, "over-then-echo")) {
    UdpReplyPlan oversized = EchoOf(request);
    oversized.padTo = 1100;
    return {oversized, plan};
  } else if (StartsWith(text, "trailing-zero")) {
    plan.trailingZero = true;
  } else if (StartsWith(text, "bad-checksum")) {
    plan.wrongCheckSum = true;
  } else if (StartsWith(text, "wrong-length")) {
    plan.lengthSkew = 1;
  } else if (StartsWith(text, "foreign-port")) {
    plan.fromOtherPort = true;
  } else if (StartsWith(text, "foreign-then-echo")) {
    UdpReplyPlan foreign = plan;
    foreign.fromOtherPort = true;
    return {foreign, plan};
  } else if (StartsWith(text, "other-cookie")) {
    plan.cookie += 1000;
  } else if (StartsWith(text, "cookie:")) {
    plan.cookie = static_cast<uint32_t>(std::stoul(text.substr(7)));
  }
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
