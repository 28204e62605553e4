// Real transfers through the exports: files, uploads, the reachability probe, and real
// proxies (tinyproxy, microsocks) started on loopback by the tests.
#include <filesystem>
#include <string>

#include "tests/http/HttpExportsFixture.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestBytes.h"
#include "tests/support/TestProxy.h"
#include "tools/HttpTestServer.h"

namespace {

// A host name that no resolver can answer and that never leaves the machine: a label longer
// than 63 characters cannot be put into a DNS query at all.
std::wstring UnresolvableUrl() {
  return L"http://" + std::wstring(70, L'a') + L".test/";
}

class HttpTransferTest : public HttpExportsTest {
 protected:
  HttpEvent FetchAndWait(const std::wstring& url) {
    int id = 0;
    EXPECT_EQ(Fetch(url, log, 20000, &id), 0);
    EXPECT_TRUE(PumpUntilDone(log, id));
    return log.Terminal(id);
  }
  int UploadBytes(const std::wstring& url, const std::string& body, unsigned timeoutMs = 20000) {
    tagDefHttpPar par;
    par.url = url;
    par.headers = L"Content-Type: application/octet-stream\r\n";
    int id = 0;
    EXPECT_EQ(ZvHttp::Upload(&par, reinterpret_cast<const unsigned char*>(body.data()),
                             static_cast<unsigned>(body.size()), CHttpCallbackLog::Callback,
                             timeoutMs, &id, log.Param(), worker),
              0);
    return id;
  }
  void UseProxy(int type, uint16_t port, const std::wstring& user = L"",
                const std::wstring& password = L"") {
    tagHProxyInfo info{type, L"127.0.0.1", port, user.empty() ? 0 : 1, user, password};
    ASSERT_EQ(ZvHttp::SetProxy(&info), 0);
  }
  size_t RequestsTo(const std::string& path) const {
    size_t count = 0;
    for (const HttpTestRequest& request : server.Requests()) count += request.path == path;
    return count;
  }

  CHttpCallbackLog log;
};

}  // namespace

TEST_F(HttpTransferTest, FileDownloadReplacesTheFileAndReportsProgressWithoutPayload) {
  const std::string body = TestBytes(4 * 1024 * 1024 + 5);
  server.Serve("/data", HttpTestResponse::Text(200, body));
  CTempFolder folder;
  folder.Write("copy.bin", "the old version");
  tagDefHttpPar par;
  par.url = server.Url("/data");
  int id = 0;
  ASSERT_EQ(ZvHttp::DownloadInFile(&par, folder.WidePath("copy.bin"), CHttpCallbackLog::Callback,
                                   20000, &id, log.Param(), worker, false),
            0);
  ASSERT_TRUE(PumpUntilDone(log, id));
  std::vector<HttpEvent> events = log.EventsOf(id);
  ASSERT_GE(events.size(), 2u);
  for (size_t i = 0; i + 1 < events.size(); ++i) {
    EXPECT_EQ(events[i].code, DOWNLOAD_PROGRESS);
    EXPECT_EQ(events[i].ProgressEnd(), body.size());
  }
  EXPECT_EQ(events[events.size() - 2].ProgressHeld(), body.size());
  EXPECT_EQ(events.back().code, DOWNLOAD_OK);
  EXPECT_TRUE(events.back().data.empty()) << "a file download carries no payload";
  EXPECT_TRUE(folder.Read("copy.bin") == body);
  EXPECT_FALSE(std::filesystem::exists(folder.Path("copy.bin.downloading")));
}

TEST_F(HttpTransferTest, UploadDeliversSeveralMegabytesByteExactAndTheAnswer) {
  const std::string body = TestBytes(5 * 1024 * 1024 + 123);
  server.Handle("/up", [](const HttpTestRequest& request) {
    return HttpTestResponse::Text(200, "got " + std::to_string(request.body.size()));
  });
  CLogCapture capture;
  const int id = UploadBytes(server.Url("/up"), body);
  ASSERT_TRUE(PumpUntilDone(log, id, 30s));
  std::vector<HttpEvent> events = log.EventsOf(id);
  const HttpEvent& done = events.back();
  const std::string answer = "got " + std::to_string(body.size());
  EXPECT_EQ(done.code, DOWNLOAD_OK);
  EXPECT_EQ(done.httpStatus, 200);
  EXPECT_EQ(done.data, answer);
  EXPECT_EQ(done.text.substr(0, 15), L"HTTP/1.1 200 OK");
  // Both values of an upload's progress record count the answer's bytes.
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[events.size() - 2].ProgressHeld(), answer.size());
  EXPECT_EQ(events[events.size() - 2].ProgressEnd(), answer.size());
  std::vector<HttpTestRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].Header("Content-Type"), "application/octet-stream");
  EXPECT_FALSE(requests[0].HasHeader("Expect")) << "the body goes without waiting for 100";
  EXPECT_TRUE(requests[0].body == body) << "the body arrived byte-exact";
  EXPECT_TRUE(capture.Contains("CHttpTaskService::Upload for Work ID:" + std::to_string(worker) +
                               "   Cookie:" + std::to_string(id)));
}

TEST_F(HttpTransferTest, UploadAnswersGiveTheirCodesAfterTheirAttempts) {
  server.Handle("/empty", [](const HttpTestRequest& request) {
    return HttpTestResponse::Text(200, "length " + request.Header("Content-Length"));
  });
  server.Serve("/missing", HttpTestResponse::Text(404, "no such upload"));
  server.Serve("/busy", HttpTestResponse::Text(503, "later"));
  server.Serve("/auth", HttpTestResponse::Text(401, "who").With("WWW-Authenticate", "Basic"));
  server.Serve("/moved", HttpTestResponse::Redirect(302, server.Origin() + "/elsewhere"));
  struct Case {
    const char* path;
    const char* body;
    DOWNLOAD_ERRORCODE code;
    int status;
    const char* answer;
    size_t attempts;
  };
  const Case cases[] = {
      {"/empty", "", DOWNLOAD_OK, 200, "length 0", 1},
      {"/missing", "x", DOWNLOAD_OK, 404, "no such upload", 1},  // an answer all the same
      {"/busy", "x", DOWNLOAD_SERVER_ERROR, 503, nullptr, 1},
      {"/auth", "secret", DOWNLOAD_AUTH_REQUIRED, 401, nullptr, 3},
      {"/moved", "data", DOWNLOAD_FAILED, 302, nullptr, 1},  // reported, never followed
  };
  CLogCapture capture;
  for (const Case& c : cases) {
    const int id = UploadBytes(server.Url(c.path), c.body);
    ASSERT_TRUE(PumpUntilDone(log, id)) << c.path;
    const HttpEvent done = log.Terminal(id);
    EXPECT_EQ(done.code, c.code) << c.path;
    EXPECT_EQ(done.httpStatus, c.status) << c.path;
    if (c.answer) {
      EXPECT_EQ(done.data, c.answer) << c.path;
    }
    EXPECT_EQ(RequestsTo(c.path), c.attempts) << c.path;
  }
  EXPECT_EQ(capture.Count("CHttpTaskService::OnMulThreadProxyMsg WM_HTTPDOWNLOAD_AUTH_REQ"), 3);
  std::vector<HttpEvent> moved = log.EventsOf(log.Events().back().taskId);
  ASSERT_EQ(moved.size(), 2u);
  EXPECT_EQ(moved[0].code, DOWNLOAD_REDIRECT);
  EXPECT_EQ(moved[0].text, server.Url("/elsewhere"));
  EXPECT_EQ(RequestsTo("/elsewhere"), 0u);
}

TEST_F(HttpTransferTest, UploadStoppedWhileWritingDeliversNothing) {
  server.StallOnRequestBody("/stall");
  server.Serve("/after", HttpTestResponse::Text(200, "free"));
  CLogCapture capture;
  int id = UploadBytes(server.Url("/stall"), TestBytes(16 * 1024 * 1024), 60000);
  // The server takes nothing in, so the writer soon waits for room.
  ASSERT_TRUE(capture.WaitFor("InternetWriteFile Error Code : 997", 10s));
  EXPECT_EQ(ZvHttp::StopTask(id), 0);
  HttpEvent after = FetchAndWait(server.Url("/after"));
  EXPECT_EQ(after.data, "free") << "the worker went on";
  PumpFor(2100ms);
  EXPECT_TRUE(log.EventsOf(id).empty());
}

TEST_F(HttpTransferTest, ProbeAnswersWhetherAnAddressOpens) {
  server.Serve("/error", HttpTestResponse::Text(500, "broken"));
  EXPECT_EQ(ZvHttp::IsDestinationReachable(server.Url("/error").c_str()), 1) << "any status";
  EXPECT_EQ(ZvHttp::IsDestinationReachable(server.Url("/unknown").c_str()), 1);
  EXPECT_EQ(ZvHttp::IsDestinationReachable(RefusedUrl().c_str()), 0);
  EXPECT_EQ(ZvHttp::IsDestinationReachable(UnresolvableUrl().c_str()), 0);
  const size_t before = server.RequestCount();
  for (const wchar_t* unusable :
       {static_cast<const wchar_t*>(nullptr), L"not a url", L"ftp://127.0.0.1/file"}) {
    EXPECT_EQ(ZvHttp::IsDestinationReachable(unusable), 0);
  }
  EXPECT_EQ(server.RequestCount(), before);
}

TEST_F(HttpTransferTest, ProbeGoesThroughTheProxyThatIsSetWithItsCredentials) {
  auto open = CTestProxy::StartSocks5("", "");
  auto socks = CTestProxy::StartSocks5("zoe", "pass-1");
  auto http = CTestProxy::StartHttp("alice", "s3cret");
  ASSERT_TRUE(open && socks && http) << "a proxy did not start";
  server.Serve("/p", HttpTestResponse::Text(404, "any answer"));
  const std::wstring url = server.Url("/p");
  UseProxy(2, open->Port());
  EXPECT_EQ(ZvHttp::IsDestinationReachable(url.c_str()), 1);
  EXPECT_TRUE(open->WaitForLog("connected to 127.0.0.1:" + std::to_string(server.Port()), 5s))
      << open->Log();
  EXPECT_EQ(ZvHttp::IsDestinationReachable(RefusedUrl().c_str()), 0);
  UseProxy(2, socks->Port(), L"zoe", L"pass-1");
  EXPECT_EQ(ZvHttp::IsDestinationReachable(url.c_str()), 1);
  UseProxy(1, http->Port(), L"alice", L"s3cret");
  EXPECT_EQ(ZvHttp::IsDestinationReachable(url.c_str()), 1);
  EXPECT_EQ(server.RequestCount(), 3u) << "each proxy let the probe through";
  UseProxy(2, socks->Port(), L"zoe", L"wrong");
  EXPECT_EQ(ZvHttp::IsDestinationReachable(url.c_str()), 0);
  // An HTTP proxy's refusal is an answer all the same, but the destination is not reached.
  UseProxy(1, http->Port(), L"alice", L"wrong");
  ZvHttp::IsDestinationReachable(url.c_str());
  UseProxy(2, FreeLoopbackPort());
  EXPECT_EQ(ZvHttp::IsDestinationReachable(url.c_str()), 0) << "a dead proxy";
  EXPECT_EQ(server.RequestCount(), 3u);
}

TEST_F(HttpTransferTest, EachProxyTypeCarriesTransfersOnlyWithTheRightCredentials) {
  auto open = CTestProxy::StartHttp();
  auto guarded = CTestProxy::StartHttp("alice", "s3cret");
  auto socks = CTestProxy::StartSocks5("zoe", "pass-1");
  ASSERT_TRUE(open && guarded && socks) << "a proxy did not start";
  server.Serve("/p", HttpTestResponse::Text(200, "proxied"));
  // The system's settings (type 3) name the open HTTP proxy; direct access ignores them.
  const std::string system = "http://" + open->HostPort();
  CScopedEnv lower("http_proxy", system);
  CScopedEnv upper("HTTP_PROXY", system);
  CScopedEnv noProxy("no_proxy", std::nullopt);
  CScopedEnv noProxyUpper("NO_PROXY", std::nullopt);
  struct Case {
    int type;
    uint16_t port;
    const wchar_t* user;
    const wchar_t* password;
    bool reaches;
    bool viaHttpProxy;
  };
  const Case cases[] = {
      {1, open->Port(), L"", L"", true, true},
      {1, guarded->Port(), L"alice", L"s3cret", true, true},
      {1, guarded->Port(), L"alice", L"wrong", false, false},
      {1, guarded->Port(), L"", L"", false, false},
      {2, socks->Port(), L"zoe", L"pass-1", true, false},
      {2, socks->Port(), L"zoe", L"wrong", false, false},
      {2, socks->Port(), L"", L"", false, false},
      {3, 0, L"", L"", true, true},
      {0, 0, L"", L"", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " port " << c.port << " user "
                                    << (*c.user ? "set" : "none"));
    UseProxy(c.type, c.port, c.user, c.password);
    const size_t before = server.RequestCount();
    const HttpEvent done = FetchAndWait(server.Url("/p"));
    if (!c.reaches) {
      EXPECT_NE(done.code, DOWNLOAD_OK);
      if (c.type == 1 && !*c.user) {
        EXPECT_EQ(done.httpStatus, 407) << "the proxy asks for credentials";
      }
      EXPECT_EQ(server.RequestCount(), before) << "refused by the proxy";
      continue;
    }
    EXPECT_EQ(done.data, "proxied");
    ASSERT_EQ(server.RequestCount(), before + 1);
    EXPECT_EQ(server.Requests().back().Header("Via").find("tinyproxy") != std::string::npos,
              c.viaHttpProxy);
  }
  EXPECT_TRUE(open->WaitForLog("GET " + server.Origin() + "/p", 5s)) << open->Log();
  EXPECT_TRUE(socks->WaitForLog("connected to 127.0.0.1:" + std::to_string(server.Port()), 5s))
      << socks->Log();
}
