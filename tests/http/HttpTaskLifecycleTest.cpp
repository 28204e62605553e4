// The task's life around the transfer: its own thread, the live-task registry behind the
// status callback, the log lines a support engineer reads, a file that cannot be opened, a
// stopped upload, and TLS with a test authority.
#include <gtest/gtest.h>

#include <string>

#include "tests/http/TaskRunner.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TestBytes.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tools/HttpTestServer.h"

namespace {

using namespace std::chrono_literals;

TEST(HttpTaskLifecycle, StartNowRunsTheTaskOnItsOwnThreadWhichThenDeletesIt) {
  CHttpTestServer server;
  server.Serve("/own", HttpTestResponse::Text(200, "own thread"));
  CLogCapture log;
  CTaskRunner recorder;  // only records: the task runs itself
  auto* task = new CHttpTask(recorder.TaskId(), &CTaskRunner::Sink);
  tagDefHttpPar par = HttpPar(server.Url("/own"));
  ASSERT_EQ(task->InitDownload(&par, nullptr, 0, nullptr, true, false), 0);
  ASSERT_TRUE(recorder.WaitFor(WM_HTTPDOWNLOAD_THREAD_QUIT));
  ASSERT_TRUE(recorder.Completion());
  EXPECT_EQ(recorder.Completion()->data, "own thread");
  EXPECT_TRUE(log.WaitFor("CHttpTask::~CHttpTask this true", 10s));
}

TEST(HttpTaskLifecycle, WritesItsLogLines) {
  CHttpTestServer server;
  server.Serve("/log", HttpTestResponse::Text(200, "logged"));
  CLogCapture log;
  CTaskRunner run;
  ASSERT_TRUE(run.StartMemory(HttpPar(server.Url("/log"))));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_TRUE(log.Contains("CHttpTask::PreRun this:"));
  EXPECT_TRUE(log.Contains("CHttpTask::OnDealMessage Enter"));
  EXPECT_TRUE(log.Contains("CHttpTask::OnDealMessage Call"));
  for (int status : {10, 11, 20, 21, 31, 60, 100}) {
    EXPECT_TRUE(log.Contains("CHttpTask::OnStatusCallback. Status = " + std::to_string(status)))
        << status;
  }
  EXPECT_TRUE(log.Contains("CHttpTask::PostRun  ["));
  EXPECT_TRUE(log.Contains("CHttpTask::~CHttpTask this:"));
  EXPECT_TRUE(log.Contains("CHttpTask::~CHttpTask this true"));
}

TEST(HttpTaskLifecycle, StatusForATaskThatIsNotLiveIsOnlyLogged) {
  CLogCapture log;
  {
    CHttpTask task(1, nullptr);  // never ran PreRun, so not in the registry
    INTERNET_ASYNC_RESULT result{1, 0};
    CHttpTask::InternetStatusCallback(nullptr, reinterpret_cast<DWORD_PTR>(&task),
                                      INTERNET_STATUS_REQUEST_COMPLETE, &result, sizeof result);
  }
  EXPECT_TRUE(log.Contains("CHttpTask::InternetStatusCallback not find this:"));
  EXPECT_FALSE(log.Contains("CHttpTask::OnStatusCallback. Status = 100"));
}

TEST(HttpTaskLifecycle, TemporaryFileThatCannotBeOpenedFailsTheDownload) {
  CHttpTestServer server;
  server.Serve("/f", HttpTestResponse::Text(200, "body"));
  CLogCapture log;
  CTaskRunner run;
  ASSERT_TRUE(run.StartFile(HttpPar(server.Url("/f")), L"/nonexistent-dir-for-zvnet/file"));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_FAILED);
  EXPECT_TRUE(log.Contains("CHttpTask::OpenSaveFile Failed1 [/nonexistent-dir-for-zvnet/file]"));
  EXPECT_EQ(server.RequestCount(), 0u);
}

TEST(HttpTaskLifecycle, InitRefusesWhatCannotBeFetched) {
  tagDefHttpPar ftp = HttpPar(L"ftp://127.0.0.1/file");
  tagDefHttpPar junk = HttpPar(L"no scheme at all");
  CHttpTask download(1, nullptr);
  EXPECT_EQ(download.InitDownload(nullptr, nullptr, 0, nullptr, false, false), E_FAIL);
  EXPECT_EQ(download.InitDownload(&ftp, nullptr, 0, nullptr, false, false), E_FAIL);
  EXPECT_EQ(download.InitDownload(&junk, nullptr, 0, nullptr, false, false), E_FAIL);
  CHttpTask upload(2, nullptr);
  tagDefHttpPar unknownScheme = HttpPar(L"web://127.0.0.1/https");
  EXPECT_EQ(upload.InitUpload(&unknownScheme, nullptr, false), E_FAIL);
  EXPECT_EQ(upload.InitUpload(nullptr, nullptr, false), E_FAIL);
}

TEST(HttpTaskLifecycle, StopWhileAnUploadBodyIsWrittenEndsAtOnceWithoutCompletion) {
  CHttpTestServer server;
  server.StallOnRequestBody("/stall");
  CLogCapture log;
  CTaskRunner run;
  ASSERT_TRUE(run.StartUpload(HttpPar(server.Url("/stall")), TestBytes(32 * 1024 * 1024)));
  ASSERT_TRUE(server.WaitForRequests(1, 10s));
  // The server takes nothing in, so the writer soon waits for room.
  ASSERT_TRUE(log.WaitFor("InternetWriteFile Error Code : 997", 10s));
  run.Stop();
  ASSERT_TRUE(run.WaitDone());
  EXPECT_LT(run.StopToRunEnd(), 100ms);
  EXPECT_FALSE(run.Completion());
  EXPECT_EQ(run.Count(WM_HTTPDOWNLOAD_THREAD_QUIT), 0u);
}

DOWNLOAD_ERRORCODE Fetch(const std::wstring& url, std::string* body = nullptr) {
  CTaskRunner run;
  if (!run.StartMemory(HttpPar(url)) || !run.WaitDone() || !run.Completion()) {
    return DOWNLOAD_TIMEOUT;
  }
  if (body) *body = run.Completion()->data;
  return run.Completion()->code;
}

TEST(HttpTaskLifecycle, TlsTrustsTheAddedAuthorityChecksNamesAndToleratesDates) {
  CTestCertificateAuthority ca;
  CTestCertificateAuthority stranger("not trusted");
  CHttpTestServer good(ca.Issue({"localhost"}));
  CHttpTestServer wrongName(ca.Issue({"other.example"}));
  CHttpTestServer unknown(stranger.Issue({"localhost"}));
  CHttpTestServer expired(ca.Issue({"localhost"}, -48h, -24h));
  for (CHttpTestServer* server : {&good, &wrongName, &unknown, &expired}) {
    server->Serve("/s", HttpTestResponse::Text(200, "secret"));
  }
  CScopedEnv trust("ZVNET_CA_FILE", ca.CaFile());
  std::string body;
  EXPECT_EQ(Fetch(good.Url("/s", "localhost"), &body), DOWNLOAD_OK);
  EXPECT_EQ(body, "secret");
  EXPECT_EQ(Fetch(wrongName.Url("/s", "localhost")), DOWNLOAD_FAILED);
  EXPECT_EQ(Fetch(unknown.Url("/s", "localhost")), DOWNLOAD_FAILED);
  EXPECT_EQ(Fetch(expired.Url("/s", "localhost")), DOWNLOAD_OK);
  EXPECT_EQ(wrongName.RequestCount() + unknown.RequestCount(), 0u);
  // An unknown scheme is let through; "https" anywhere in the URL makes it a secure fetch.
  EXPECT_EQ(Fetch(L"web://localhost:" + std::to_wstring(good.Port()) + L"/s?HTTPS=1", &body),
            DOWNLOAD_OK);
  EXPECT_EQ(good.Requests().back().target, "/s?HTTPS=1");
}

}  // namespace
