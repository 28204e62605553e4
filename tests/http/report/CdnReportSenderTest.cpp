#include "http/report/CdnReportSender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "http/report/CdnReportCipher.h"
#include "http/report/CdnReportEndpoint.h"
#include "platform/win32/Event.h"
#include "platform/win32/StringConv.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/Pump.h"
#include "tests/support/ScopedEnv.h"
#include "tools/CdnReportReceiver.h"
#include "tools/HttpTestServer.h"

namespace {

std::wstring ReportUrl(uint16_t port, const std::wstring& query) {
  std::string sealed;
  EXPECT_EQ(SealCdnReport(query, &sealed), ReportSealResult::kSealed);
  return BuildReportUrl(L"127.0.0.1:" + std::to_wstring(port), sealed);
}

}  // namespace

TEST(CdnReportSenderTest, StopEndsASendThatGetsNoAnswer) {
  CHttpTestServer silent;
  HttpTestResponse never;
  never.neverAnswer = true;
  silent.Serve("/downloadComplete", never);
  CEvent stop;
  std::optional<ReportSendResult> result;
  std::thread sender([&] {
    long error = 0;
    result = SendCdnReport(ReportUrl(silent.Port(), L"a=1"), tagHProxyInfo{}, &stop, &error);
  });
  EXPECT_TRUE(silent.WaitForRequests(1, 30s));  // the request is under way
  const auto stopped = std::chrono::steady_clock::now();
  stop.Set();
  sender.join();
  EXPECT_EQ(result, ReportSendResult::kStopped);
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 5s) << "the send waits up to 60 s";
}

TEST(CdnReportSenderTest, ProxyTypeZeroIgnoresTheEnvironmentAndTypeThreeUsesIt) {
  CCdnReportReceiver receiver;
  ASSERT_TRUE(receiver.Start());
  CScopedEnv variable("http_proxy", "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()));
  CScopedEnv noProxy("no_proxy", "");
  long error = 0;
  tagHProxyInfo direct;
  direct.type = 0;
  EXPECT_EQ(SendCdnReport(ReportUrl(receiver.Port(), L"a=1"), direct, nullptr, &error),
            ReportSendResult::kSent);
  tagHProxyInfo system;
  system.type = 3;
  EXPECT_EQ(SendCdnReport(ReportUrl(receiver.Port(), L"a=2"), system, nullptr, &error),
            ReportSendResult::kRequestFailed);
  EXPECT_NE(error, 0) << "a refused connection comes with its code";
  EXPECT_EQ(receiver.Received(), std::vector<std::wstring>{L"a=1"});
}

TEST(CdnReportSenderTest, ARedirectInTheAnswerIsNotFollowed) {
  CCdnReportReceiver receiver;
  ASSERT_TRUE(receiver.Start());
  CHttpTestServer server;
  server.Serve("/downloadComplete",
               HttpTestResponse::Redirect(302, WideToUtf8(ReportUrl(receiver.Port(), L"a=1"))));
  long error = 0;
  EXPECT_EQ(
      SendCdnReport(server.Url("/downloadComplete?ver=0&QUJD"), tagHProxyInfo{}, nullptr, &error),
      ReportSendResult::kSent);
  EXPECT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(receiver.Count(), 0u) << "a followed redirect is answered before the send returns";
}
