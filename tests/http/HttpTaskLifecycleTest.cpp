// The task's life around the transfer: its own thread, the live-task registry behind the
// status callback, the log lines a support engineer reads, and a file that cannot be opened.
#include <gtest/gtest.h>

#include <string>

#include "tests/http/TaskRunner.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/LogCapture.h"

namespace {

using namespace std::chrono_literals;

tagDefHttpPar Par(const std::wstring& url) {
  tagDefHttpPar par;
  par.url = url;
  return par;
}

TEST(HttpTaskLifecycle, StartNowRunsTheTaskOnItsOwnThreadWhichThenDeletesIt) {
  CHttpTestServer server;
  server.Serve("/own", HttpTestResponse::Text(200, "own thread"));
  CLogCapture log;
  CTaskRunner recorder;  // only records: the task runs itself
  auto* task = new CHttpTask(recorder.TaskId());
  tagDefHttpPar par = Par(server.Url("/own"));
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
  ASSERT_TRUE(run.StartMemory(Par(server.Url("/log"))));
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
    CHttpTask task(1);  // never ran PreRun, so not in the registry
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
  ASSERT_TRUE(run.StartFile(Par(server.Url("/f")), L"/nonexistent-dir-for-zvnet/file"));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_FAILED);
  EXPECT_TRUE(log.Contains("CHttpTask::OpenSaveFile Failed1 [/nonexistent-dir-for-zvnet/file]"));
  EXPECT_EQ(server.RequestCount(), 0u);
}

TEST(HttpTaskLifecycle, InitRefusesWhatCannotBeFetched) {
  tagDefHttpPar ftp = Par(L"ftp://127.0.0.1/file");
  tagDefHttpPar junk = Par(L"no scheme at all");
  CHttpTask download(1);
  EXPECT_EQ(download.InitDownload(nullptr, nullptr, 0, nullptr, false, false), E_FAIL);
  EXPECT_EQ(download.InitDownload(&ftp, nullptr, 0, nullptr, false, false), E_FAIL);
  EXPECT_EQ(download.InitDownload(&junk, nullptr, 0, nullptr, false, false), E_FAIL);
  CHttpTask upload(2);
  tagDefHttpPar unknownScheme = Par(L"web://127.0.0.1/https");
  EXPECT_EQ(upload.InitUpload(&unknownScheme, nullptr, false), E_FAIL);
  EXPECT_EQ(upload.InitUpload(nullptr, nullptr, false), E_FAIL);
}

}  // namespace
