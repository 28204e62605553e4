// Bad input at the exports: null pointers the family tests leave out, unknown ids, oversized
// URLs and request headers, a huge upload, an impossible If-Modified-Since date, and Uninit before
// any Init. Each case must be refused or end with exactly one terminal callback, never crash.
#include <gtest/gtest.h>

#include <string>

#include "tests/http/HttpExportsFixture.h"
#include "zvnet/zvhttp.h"
#include "zvnet/zvudp.h"

namespace {

class HttpBadInputTest : public HttpExportsTest {
 protected:
  // Queues a download into memory of `par` and waits for its one terminal callback.
  HttpEvent FetchToTheEnd(tagDefHttpPar& par) {
    int taskId = 0;
    EXPECT_EQ(ZvHttp::DownloadInMem(&par, &CHttpCallbackLog::Callback, 20000, &taskId, log.Param(),
                                    worker),
              0);
    EXPECT_TRUE(PumpUntilDone(log, taskId, 30s));
    EXPECT_EQ(log.TerminalCount(taskId), 1);
    return log.Terminal(taskId);
  }

  CHttpCallbackLog log;
};

}  // namespace

TEST(RobustnessFamilies, UninitBeforeAnyInitIsHarmlessAndInitStillWorks) {
  EXPECT_EQ(ZvHttp::Uninit(), 0);
  EXPECT_EQ(ZvUdp::Uninit(), S_OK);
  int worker = 0;
  EXPECT_EQ(ZvHttp::CreateWorker(&worker), E_FAIL) << "the extra Uninit made no service";
  ASSERT_EQ(ZvHttp::Init(), 0);
  EXPECT_EQ(ZvHttp::CreateWorker(&worker), 0);
  EXPECT_EQ(worker, 1) << "the count did not go below zero";
  EXPECT_EQ(ZvHttp::Uninit(), 0);
  EXPECT_EQ(ZvHttp::CreateWorker(&worker), E_FAIL) << "one Uninit ends one Init";
  ASSERT_EQ(ZvUdp::Init(), S_OK);
  EXPECT_EQ(ZvUdp::CloseChannel(1), E_FAIL) << "unknown channel";
  EXPECT_EQ(ZvUdp::Uninit(), S_OK);
  EXPECT_EQ(ZvUdp::CloseChannel(1), E_FAIL) << "no service";
}

TEST_F(HttpBadInputTest, NullPointersAndUnknownIdsOfEveryExportAreRefused) {
  tagDefHttpPar par;
  par.url = QuickUrl();
  int id = -1;
  auto cb = &CHttpCallbackLog::Callback;
  EXPECT_EQ(ZvHttp::DownloadInFile(nullptr, L"/tmp/x", cb, 1000, &id, 0, worker, false), E_FAIL);
  EXPECT_EQ(ZvHttp::DownloadInFile(&par, L"/tmp/x", cb, 1000, nullptr, 0, worker, false), E_FAIL);
  EXPECT_EQ(ZvHttp::DownloadInFileEx(nullptr, L"/tmp/x", nullptr, 0, cb, 1000, &id, 0, worker),
            E_FAIL);
  EXPECT_EQ(ZvHttp::DownloadInFileEx(&par, L"/tmp/x", nullptr, 0, cb, 1000, nullptr, 0, worker),
            E_FAIL);
  EXPECT_EQ(ZvHttp::Upload(nullptr, nullptr, 0, cb, 1000, &id, 0, worker), E_FAIL);
  EXPECT_EQ(ZvHttp::Upload(&par, nullptr, 0, cb, 1000, nullptr, 0, worker), E_FAIL);
  EXPECT_EQ(id, -1) << "no id is drawn for a refused call";
  EXPECT_EQ(ZvHttp::IsDestinationReachable(nullptr), 0);
  EXPECT_EQ(ZvHttp::StopTask(4242), E_FAIL) << "unknown task";
  EXPECT_EQ(ZvHttp::StopTask(-1), E_FAIL);
  EXPECT_EQ(ZvHttp::CloseWorker(4242), E_FAIL) << "unknown worker";
  EXPECT_EQ(ZvHttp::CloseWorker(0), E_FAIL);
  EXPECT_EQ(log.Count(), 0u) << "no callback for anything refused";

  // A null callback is allowed: the transfer runs and nothing is called.
  ASSERT_EQ(ZvHttp::DownloadInMem(&par, nullptr, 10000, &id, 0, worker), 0);
  EXPECT_TRUE(server.WaitForRequests(1, 10s));
}

TEST_F(HttpBadInputTest, OversizedUrlEndsWithOneFailure) {
  tagDefHttpPar par;
  par.url = QuickUrl() + L"?" + std::wstring(1 << 20, L'a');
  EXPECT_EQ(FetchToTheEnd(par).code, DOWNLOAD_FAILED);
}

TEST_F(HttpBadInputTest, OversizedRequestHeadersEndWithOneTerminalCallback) {
  tagDefHttpPar par;
  par.url = QuickUrl();
  par.headers = L"X-Big: " + std::wstring(256 * 1024, L'h') + L"\r\n";
  for (int i = 0; i < 200; ++i) par.headers += L"X-Many-" + std::to_wstring(i) + L": v\r\n";
  par.referrer = std::wstring(64 * 1024, L'r');
  EXPECT_EQ(FetchToTheEnd(par).code, DOWNLOAD_OK);
  ASSERT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(server.Requests()[0].Header("X-Big").size(), 256u * 1024);
  EXPECT_EQ(server.Requests()[0].Header("X-Many-199"), "v");
}

TEST_F(HttpBadInputTest, HugeUploadArrivesWhole) {
  const std::string body(32 << 20, 'u');
  server.Handle("/up", [](const HttpTestRequest& request) {
    const bool whole = request.body.size() == (32u << 20) &&
                       request.body.find_first_not_of('u') == std::string::npos;
    return HttpTestResponse::Text(200, whole ? "whole" : "broken");
  });
  tagDefHttpPar par;
  par.url = server.Url("/up");
  int taskId = 0;
  ASSERT_EQ(ZvHttp::Upload(&par, reinterpret_cast<const unsigned char*>(body.data()),
                           static_cast<unsigned int>(body.size()), &CHttpCallbackLog::Callback,
                           60000, &taskId, log.Param(), worker),
            0);
  ASSERT_TRUE(PumpUntilDone(log, taskId, 60s));
  EXPECT_EQ(log.TerminalCount(taskId), 1);
  EXPECT_EQ(log.Terminal(taskId).code, DOWNLOAD_OK);
  EXPECT_EQ(log.Terminal(taskId).data, "whole");
}

TEST_F(HttpBadInputTest, ImpossibleIfModifiedSinceFailsWithoutTraffic) {
  tagDefHttpPar par;
  par.url = QuickUrl();
  SYSTEMTIME bad{2024, 2, 0, 30, 25, 61, 61, 1000};
  int taskId = 0;
  ASSERT_EQ(
      ZvHttp::DownloadInFileEx(&par, L"/tmp/zvnet-robustness-never", &bad, 0,
                               &CHttpCallbackLog::Callback, 20000, &taskId, log.Param(), worker),
      0);
  ASSERT_TRUE(PumpUntilDone(log, taskId));
  EXPECT_EQ(log.TerminalCount(taskId), 1);
  EXPECT_EQ(log.Terminal(taskId).code, DOWNLOAD_FAILED);
  EXPECT_EQ(server.RequestCount(), 0u);
}
