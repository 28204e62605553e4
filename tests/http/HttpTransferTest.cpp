// Real transfers through the exports: files, uploads, the reachability probe, and real
// proxies (tinyproxy, microsocks) started on loopback by the tests.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "tests/http/HttpExportsFixture.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestBytes.h"
#include "tests/support/TestProxy.h"
#include "tools/HttpTestResource.h"
#include "tools/HttpTestServer.h"

namespace {

// A host name that no resolver can answer and that never leaves the machine: a label longer
// than 63 characters cannot be put into a DNS query at all.
std::wstring UnresolvableUrl() {
  return L"http://" + std::wstring(70, L'a') + L".test/";
}

class HttpTransferTest : public HttpExportsTest {
 protected:
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

// A download into a file against each kind of answer, from a given start: a temporary file
// and an offset resume it, a date makes it conditional. Failures keep the old file and leave
// no temporary one.
TEST_F(HttpTransferTest, FileDownloadTakesEachAnswerAsItComes) {
  const auto content = std::make_shared<const std::string>(TestBytes(300000));
  const std::string size = std::to_string(content->size());
  server.Handle("/file", CHttpTestResource(*content, 784111777));  // 06 Nov 1994 08:49:37
  HttpTestResponse unknown = HttpTestResponse::Text(200, *content);
  unknown.omitContentLength = true;
  server.Serve("/unknown", unknown);
  HttpTestResponse cut = HttpTestResponse::Text(200, content->substr(0, 900));
  cut.contentLength = 1000;
  server.Serve("/cut", cut);
  HttpTestResponse huge = HttpTestResponse::Text(200, content->substr(0, 70000));
  huge.contentLength = 5ull << 30;
  server.Serve("/huge", huge);
  server.Serve("/whole", HttpTestResponse::Text(200, *content));  // whatever the Range
  server.Handle("/416", [content](const HttpTestRequest& request) {
    return HttpTestResponse::Text(request.HasHeader("Range") ? 416 : 200, *content);
  });
  server.Handle("/from0", [content, size](const HttpTestRequest& request) {
    if (!request.HasHeader("Range")) return HttpTestResponse::Text(200, *content);
    return HttpTestResponse::Text(206, *content).With("Content-Range", "bytes 0-299999/" + size);
  });
  // Only 1000 bytes of what was asked each time.
  server.Handle("/parts", [content, size](const HttpTestRequest& request) {
    unsigned long long from = 0;
    std::sscanf(request.Header("Range").c_str(), "bytes=%llu-", &from);
    const size_t last = std::min<size_t>(from + 999, content->size() - 1);
    return HttpTestResponse::Text(206, content->substr(from, last - from + 1))
        .With("Content-Range",
              "bytes " + std::to_string(from) + "-" + std::to_string(last) + "/" + size);
  });
  for (int status : {401, 404, 500, 503}) {
    server.Serve("/" + std::to_string(status), HttpTestResponse::Text(status, "no"));
  }
  const std::string& whole = *content;
  const std::string old = "the old version";
  const SYSTEMTIME modified{1994, 11, 0, 6, 8, 49, 37, 0};
  struct Row {
    const char* name;
    const char* path;
    std::optional<std::string> temporary;  // held at the temporary name before
    unsigned long offset;
    std::optional<SYSTEMTIME> since;
    DOWNLOAD_ERRORCODE code;
    std::vector<std::string> ranges;  // the Range header of each request ("": none)
    const std::string& file;          // the destination afterwards
    uint32_t progressEnd = 0;         // the end of the first progress record; 0: none expected
  };
  const Row rows[] = {
      {"whole file", "/file", {}, 0, {}, DOWNLOAD_OK, {""}, whole, 300000},
      {"unknown length", "/unknown", {}, 0, {}, DOWNLOAD_OK, {""}, whole, 0xFFFFFFFF},
      {"cut body, tried twice", "/cut", {}, 0, {}, DOWNLOAD_LENGTH_MISMATCH, {"", ""}, old, 1000},
      // The 32-bit progress field saturates below the "unknown" marker.
      {"length past 4 GiB",
       "/huge",
       {},
       0,
       {},
       DOWNLOAD_LENGTH_MISMATCH,
       {"", ""},
       old,
       0xFFFFFFFE},
      {"resume drops what follows the offset",
       "/file",
       whole.substr(0, 123457) + "garbage",
       123457,
       {},
       DOWNLOAD_OK,
       {"bytes=123457-"},
       whole,
       300000},
      {"offset past the temporary file restarts",
       "/file",
       whole.substr(0, 100),
       5000,
       {},
       DOWNLOAD_OK,
       {""},
       whole,
       300000},
      {"whole answer to a Range",
       "/whole",
       whole.substr(0, 2000),
       1000,
       {},
       DOWNLOAD_FAILED,
       {"bytes=1000-"},
       old},
      {"416 is retried once without Range",
       "/416",
       TestBytes(60000, 99),
       60000,
       {},
       DOWNLOAD_OK,
       {"bytes=60000-", ""},
       whole,
       300000},
      {"a part from elsewhere is not appended",
       "/from0",
       whole.substr(0, 10000),
       10000,
       {},
       DOWNLOAD_OK,
       {"bytes=10000-", ""},
       whole,
       300000},
      {"short parts go on from their end",
       "/parts",
       whole.substr(0, 298000),
       298000,
       {},
       DOWNLOAD_OK,
       {"bytes=298000-", "bytes=299000-"},
       whole,
       300000},
      {"unchanged since; never resumed",
       "/file",
       {},
       777,
       modified,
       DOWNLOAD_NOT_MODIFIED,
       {""},
       old},
      {"changed since",
       "/file",
       {},
       0,
       SYSTEMTIME{1994, 11, 0, 6, 8, 49, 36, 0},
       DOWNLOAD_OK,
       {""},
       whole,
       300000},
      {"month 13",
       "/file",
       {},
       0,
       SYSTEMTIME{2020, 13, 0, 1, 0, 0, 0, 0},
       DOWNLOAD_FAILED,
       {},
       old},
      {"day 0", "/file", {}, 0, SYSTEMTIME{2020, 1, 0, 0, 0, 0, 0, 0}, DOWNLOAD_FAILED, {}, old},
      {"hour 24", "/file", {}, 0, SYSTEMTIME{2020, 1, 0, 1, 24, 0, 0, 0}, DOWNLOAD_FAILED, {}, old},
      {"minute 60",
       "/file",
       {},
       0,
       SYSTEMTIME{2020, 1, 0, 1, 0, 60, 0, 0},
       DOWNLOAD_FAILED,
       {},
       old},
      {"all ones",
       "/file",
       {},
       0,
       SYSTEMTIME{65535, 65535, 65535, 65535, 65535, 65535, 65535, 0},
       DOWNLOAD_FAILED,
       {},
       old},
      {"401", "/401", {}, 0, {}, DOWNLOAD_FAILED, {""}, old},
      {"404", "/404", {}, 0, {}, DOWNLOAD_NOT_FOUND, {""}, old},
      {"500", "/500", {}, 0, {}, DOWNLOAD_FAILED, {""}, old},
      {"503", "/503", {}, 0, {}, DOWNLOAD_SERVER_ERROR, {""}, old},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CTempFolder folder;
    folder.Write("out", old);
    if (row.temporary) folder.Write("out.downloading", *row.temporary);
    std::optional<SYSTEMTIME> since = row.since;
    const size_t before = server.RequestCount();
    int id = 0;
    ASSERT_EQ(FetchFile(server.Url(row.path), folder.WidePath("out"), log, &id, row.offset,
                        since ? &*since : nullptr),
              0);
    ASSERT_TRUE(PumpUntilDone(log, id));
    EXPECT_EQ(log.Terminal(id).code, row.code);
    const std::vector<HttpTestRequest> requests = server.Requests();
    std::vector<std::string> ranges;
    for (size_t i = before; i < requests.size(); ++i) {
      ranges.push_back(requests[i].Header("Range"));
      if (since) {
        EXPECT_EQ(requests[i].Header("If-Modified-Since"), since->wSecond == 37
                                                               ? "Sun, 06 Nov 1994 08:49:37 GMT"
                                                               : "Sun, 06 Nov 1994 08:49:36 GMT");
      }
    }
    EXPECT_EQ(ranges, row.ranges);
    EXPECT_TRUE(folder.Read("out") == row.file);
    EXPECT_FALSE(std::filesystem::exists(folder.Path("out.downloading")));
    const std::vector<HttpEvent> events = log.EventsOf(id);
    if (row.progressEnd) {
      ASSERT_GE(events.size(), 2u);
      EXPECT_EQ(events.front().ProgressEnd(), row.progressEnd);
    } else {
      EXPECT_EQ(events.size(), 1u) << "no progress";
    }
    if (row.code == DOWNLOAD_OK) {
      EXPECT_EQ(events[events.size() - 2].ProgressHeld(), whole.size());
      EXPECT_TRUE(events.back().data.empty()) << "a file download carries no payload";
    }
  }
}

// A stopped file download leaves its part at the temporary name, holding at least what was
// reported, and a later download resumes from there.
TEST_F(HttpTransferTest, StoppedFileDownloadKeepsItsPartForAResume) {
  server.Handle("/p", CHttpTestResource(std::string(4 * kPauseAfter, 'p')));
  CTempFolder folder;
  int id = 0;
  ASSERT_EQ(FetchFile(PausingUrl(), folder.WidePath("p"), log, &id), 0);
  ASSERT_TRUE(PumpUntil([&] {
    const auto events = log.EventsOf(id);
    return !events.empty() && events.back().ProgressHeld() >= kPauseAfter;
  }));
  ASSERT_EQ(ZvHttp::StopTask(id), 0);
  const uint32_t reported = log.EventsOf(id).back().ProgressHeld();
  EXPECT_EQ(FetchAndWait(QuickUrl(), log).code, DOWNLOAD_OK) << "the stopped one has ended";
  const uintmax_t held = std::filesystem::file_size(folder.Path("p.downloading"));
  EXPECT_GE(held, reported);
  EXPECT_LT(held, 4 * kPauseAfter);
  int resumed = 0;
  ASSERT_EQ(FetchFile(server.Url("/p"), folder.WidePath("p"), log, &resumed, held), 0);
  ASSERT_TRUE(PumpUntilDone(log, resumed));
  EXPECT_EQ(log.Terminal(resumed).code, DOWNLOAD_OK);
  EXPECT_EQ(server.Requests().back().Header("Range"), "bytes=" + std::to_string(held) + "-");
  EXPECT_TRUE(folder.Read("p") == std::string(4 * kPauseAfter, 'p'));
  EXPECT_FALSE(log.HasTerminal(id));
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
  // Only http and https are posted to.
  const int other = UploadBytes(L"web://127.0.0.1/https", "x");
  ASSERT_TRUE(PumpUntilDone(log, other));
  EXPECT_EQ(log.Terminal(other).failure, ZV_FAILURE_BAD_URL);
}

TEST_F(HttpTransferTest, UploadStoppedWhileWritingDeliversNothing) {
  server.StallOnRequestBody("/stall");
  server.Serve("/after", HttpTestResponse::Text(200, "free"));
  CLogCapture capture;
  int id = UploadBytes(server.Url("/stall"), TestBytes(16 * 1024 * 1024), 60000);
  // The server takes nothing in, so the writer soon waits for room.
  ASSERT_TRUE(capture.WaitFor("InternetWriteFile Error Code : 997", 10s));
  EXPECT_EQ(ZvHttp::StopTask(id), 0);
  HttpEvent after = FetchAndWait(server.Url("/after"), log);
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
    const HttpEvent done = FetchAndWait(server.Url("/p"), log);
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
