// Uploads by CHttpTask: the body streamed to the server, the answer read back, the 401, 503
// and redirect answers, and a stop while the body is being written.
#include <gtest/gtest.h>

#include <string>

#include "tests/http/TaskRunner.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/LogCapture.h"

namespace {

using namespace std::chrono_literals;

constexpr UINT kUploadComplete = WM_HTTPDOWNLOAD_UPLOAD_COMPLETE;

tagDefHttpPar Par(const std::wstring& url, const std::wstring& headers = L"") {
  tagDefHttpPar par;
  par.url = url;
  par.headers = headers;
  return par;
}

std::string Body(size_t size) {
  std::string body(size, '\0');
  for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>(i * 131 + (i >> 9));
  return body;
}

TEST(HttpTaskUpload, SendsTheBodyAndDeliversTheAnswer) {
  CHttpTestServer server;
  server.Handle("/up", [](const HttpTestRequest& request) {
    return HttpTestResponse::Text(
        201, "stored " + std::to_string(request.body.size()) + std::string(10000, '.'));
  });
  const std::string body = Body(300 * 1024 + 7);
  CTaskRunner run;
  ASSERT_TRUE(
      run.StartUpload(Par(server.Url("/up"), L"Content-Type: application/octet-stream\r\n"), body));
  ASSERT_TRUE(run.WaitDone());
  auto request = server.Requests().at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_TRUE(request.body == body);
  EXPECT_EQ(request.Header("Content-Type"), "application/octet-stream");
  auto done = run.Completion();
  ASSERT_TRUE(done);
  EXPECT_EQ(done->message, kUploadComplete);
  EXPECT_EQ(done->code, DOWNLOAD_OK);
  EXPECT_EQ(done->httpStatus, 201);
  EXPECT_EQ(done->data, "stored " + std::to_string(body.size()) + std::string(10000, '.'));
  EXPECT_EQ(done->text.substr(0, 20), L"HTTP/1.1 201 Created");
  auto ids = run.MessageIds();
  EXPECT_EQ(ids.front(), WM_HTTPDOWNLOAD_CONNECTING);
  EXPECT_EQ(ids[1], WM_HTTPDOWNLOAD_CONNECTED);
  EXPECT_EQ(ids[2], WM_HTTPDOWNLOAD_DOWNLOAD_START);
  EXPECT_EQ(ids.back(), WM_HTTPDOWNLOAD_THREAD_QUIT);
  // Both values of an upload's progress record count the answer's bytes.
  auto progress = run.Progress();
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().first, done->data.size());
  EXPECT_EQ(progress.back().second, done->data.size());
}

TEST(HttpTaskUpload, EmptyBodyAndErrorStatusesStillDeliverTheAnswer) {
  CHttpTestServer server;
  server.Serve("/missing", HttpTestResponse::Text(404, "no such place"));
  CTaskRunner run;
  ASSERT_TRUE(run.StartUpload(Par(server.Url("/missing")), ""));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(server.Requests().at(0).Header("Content-Length"), "0");
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_OK);
  EXPECT_EQ(run.Completion()->httpStatus, 404);
  EXPECT_EQ(run.Completion()->data, "no such place");
}

TEST(HttpTaskUpload, UnauthorisedIsTriedThreeTimes) {
  CHttpTestServer server;
  server.Serve("/auth", HttpTestResponse::Text(401, "login first"));
  CTaskRunner run;
  ASSERT_TRUE(run.StartUpload(Par(server.Url("/auth")), Body(5000)));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(server.RequestCount(), 3u);
  EXPECT_EQ(run.Count(WM_HTTPDOWNLOAD_AUTH_REQ), 3u);
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_AUTH_REQUIRED);
}

TEST(HttpTaskUpload, ServerErrorEndsAfterOneAttempt) {
  CHttpTestServer server;
  server.Serve("/busy", HttpTestResponse::Text(503, "busy"));
  CTaskRunner run;
  ASSERT_TRUE(run.StartUpload(Par(server.Url("/busy")), Body(100)));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_SERVER_ERROR);
  EXPECT_EQ(run.Completion()->httpStatus, 503);
}

TEST(HttpTaskUpload, RedirectIsReportedNotFollowed) {
  CHttpTestServer server;
  server.Serve("/moved", HttpTestResponse::Redirect(302, server.Origin() + "/new"));
  CTaskRunner run;
  ASSERT_TRUE(run.StartUpload(Par(server.Url("/moved")), Body(100)));
  ASSERT_TRUE(run.WaitDone());
  EXPECT_EQ(server.RequestCount(), 1u);
  ASSERT_EQ(run.Count(WM_HTTPDOWNLOAD_REDIRECT), 1u);
  for (const RecordedMessage& m : run.Messages()) {
    if (m.message == WM_HTTPDOWNLOAD_REDIRECT) {
      EXPECT_EQ(m.text, server.Url("/new"));
    }
  }
  EXPECT_EQ(run.Completion()->code, DOWNLOAD_FAILED);
}

TEST(HttpTaskUpload, StopWhileTheBodyIsWrittenEndsAtOnceWithoutCompletion) {
  CHttpTestServer server;
  server.StallOnRequestBody("/stall");
  CLogCapture log;
  CTaskRunner run;
  ASSERT_TRUE(run.StartUpload(Par(server.Url("/stall")), Body(32 * 1024 * 1024)));
  ASSERT_TRUE(server.WaitForRequests(1, 10s));
  // The server takes nothing in, so the writer soon waits for room.
  ASSERT_TRUE(log.WaitFor("InternetWriteFile Error Code : 997", 10s));
  run.Stop();
  ASSERT_TRUE(run.WaitDone());
  EXPECT_LT(run.StopToRunEnd(), 100ms);
  EXPECT_FALSE(run.Completion());
  EXPECT_EQ(run.Count(WM_HTTPDOWNLOAD_THREAD_QUIT), 0u);
}

}  // namespace
