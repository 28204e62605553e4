// Real transfers through the exports: files, uploads, the reachability probe, and real
// proxies (tinyproxy, microsocks) started on loopback by the tests.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/win32/StringConv.h"
#include "tests/http/HttpExportsFixture.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestBytes.h"
#include "tests/support/TestProxy.h"
#include "tools/HttpTestResource.h"

namespace {

class HttpTransferTest : public HttpExportsTest {
 protected:
  int UploadBytes(const std::wstring& url, const std::string& body, unsigned timeoutMs = 20000) {
    tagDefHttpPar par = HttpPar(url);
    int id = 0;
    EXPECT_EQ(ZvHttp::Upload(&par, reinterpret_cast<const unsigned char*>(body.data()),
                             static_cast<unsigned>(body.size()), CHttpCallbackLog::Callback,
                             timeoutMs, &id, log.Param(), worker),
              0);
    return id;
  }
  void UseProxy(int type, uint16_t port, const std::wstring& user, const std::wstring& password) {
    tagHProxyInfo info{type, L"127.0.0.1", port, user.empty() ? 0 : 1, user, password};
    ASSERT_EQ(ZvHttp::SetProxy(&info), 0);
  }
};

}  // namespace

// A download into a file against each kind of answer, from a given start: a temporary file
// and an offset resume it, a date makes it conditional. Failures keep the old file and leave
// no temporary one.
TEST_F(HttpTransferTest, FileDownloadTakesEachAnswerAsItComes) {
  const auto content = std::make_shared<const std::string>(TestBytes(300000));
  const std::string& whole = *content;
  const std::string size = std::to_string(content->size());
  server.Handle("/file", CHttpTestResource(whole, 784111777));  // 06 Nov 1994 08:49:37
  HttpTestResponse unknown = HttpTestResponse::Text(200, whole);
  unknown.omitContentLength = true;
  server.Serve("/unknown", unknown);
  HttpTestResponse cut = HttpTestResponse::Text(200, whole.substr(0, 900));
  cut.contentLength = 1000;
  server.Serve("/cut", cut);
  HttpTestResponse chunks = HttpTestResponse::Text(200, "5\r\nhello\r\n");  // no zero chunk
  chunks.omitContentLength = true;
  server.Serve("/chunks", chunks.With("Transfer-Encoding", "chunked"));
  HttpTestResponse huge = HttpTestResponse::Text(200, whole.substr(0, 70000));
  huge.contentLength = 5ull << 30;
  server.Serve("/huge", huge);
  server.Serve("/whole", HttpTestResponse::Text(200, whole));  // whatever the Range
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
  const std::string old = "the old version";
  auto head = [&](size_t n) { return whole.substr(0, n); };
  using Time = SYSTEMTIME;
  const Time modified{1994, 11, 0, 6, 8, 49, 37, 0}, earlier{1994, 11, 0, 6, 8, 49, 36, 0};
  struct Row {
    const char* path;
    std::optional<std::string> temporary;  // held at the temporary name before
    unsigned long offset;
    DOWNLOAD_ERRORCODE code;
    std::vector<std::string> ranges;  // the Range header of each request ("": none)
    uint32_t progressEnd = 0;         // of the first progress record; 0: none expected
    std::optional<Time> since = {};
  };
  std::vector<Row> rows = {
      {"/file", {}, 0, DOWNLOAD_OK, {""}, 300000},
      {"/unknown", {}, 0, DOWNLOAD_OK, {""}, 0xFFFFFFFF},
      {"/cut", {}, 0, DOWNLOAD_LENGTH_MISMATCH, {"", ""}, 1000},  // tried twice
      {"/chunks", {}, 0, DOWNLOAD_FAILED, {"", ""}, 0xFFFFFFFF},  // the same
      // The 32-bit progress field saturates below the "unknown" marker.
      {"/huge", {}, 0, DOWNLOAD_LENGTH_MISMATCH, {"", ""}, 0xFFFFFFFE},
      // A resume drops what follows the offset; an offset past the file restarts.
      {"/file", head(123457) + "garbage", 123457, DOWNLOAD_OK, {"bytes=123457-"}, 300000},
      {"/file", head(100), 5000, DOWNLOAD_OK, {""}, 300000},
      {"/whole", head(2000), 1000, DOWNLOAD_FAILED, {"bytes=1000-"}},
      {"/416", TestBytes(60000, 99), 60000, DOWNLOAD_OK, {"bytes=60000-", ""}, 300000},
      // A part from elsewhere is not appended; short parts go on from their end.
      {"/from0", head(10000), 10000, DOWNLOAD_OK, {"bytes=10000-", ""}, 300000},
      {"/parts", head(298000), 298000, DOWNLOAD_OK, {"bytes=298000-", "bytes=299000-"}, 300000},
      // A conditional download is never resumed.
      {"/file", {}, 777, DOWNLOAD_NOT_MODIFIED, {""}, 0, modified},
      {"/file", {}, 0, DOWNLOAD_OK, {""}, 300000, earlier},
      {"/401", {}, 0, DOWNLOAD_FAILED, {""}},
      {"/404", {}, 0, DOWNLOAD_NOT_FOUND, {""}},
      {"/500", {}, 0, DOWNLOAD_FAILED, {""}},
      {"/503", {}, 0, DOWNLOAD_SERVER_ERROR, {""}},
  };
  // Dates that name no time: month 13, day 0, hour 24, minute 60, all ones.
  for (const Time& bad : {Time{2020, 13, 0, 1, 0, 0, 0, 0}, Time{2020, 1, 0, 0, 0, 0, 0, 0},
                          Time{2020, 1, 0, 1, 24, 0, 0, 0}, Time{2020, 1, 0, 1, 0, 60, 0, 0},
                          Time{65535, 65535, 65535, 65535, 65535, 65535, 65535, 0}}) {
    rows.push_back({"/file", {}, 0, DOWNLOAD_FAILED, {}, 0, bad});
  }
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.path << " from " << row.offset);
    CTempFolder folder;
    folder.Write("out", old);
    if (row.temporary) folder.Write("out.downloading", *row.temporary);
    std::optional<Time> since = row.since;
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
      EXPECT_EQ(requests[i].Header("If-Modified-Since"),
                since ? "Sun, 06 Nov 1994 08:49:" + std::to_string(since->wSecond) + " GMT" : "");
    }
    EXPECT_EQ(ranges, row.ranges);
    EXPECT_TRUE(folder.Read("out") == (row.code == DOWNLOAD_OK ? whole : old));
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

// The body goes byte-exact and without waiting for 100; the answer's code comes after its
// attempts: a 404 answer is an answer, a 401 is tried three times, a redirect is never
// followed, and only http and https are posted to.
TEST_F(HttpTransferTest, UploadDeliversItsBodyAndGivesTheAnswersCode) {
  const std::string big = TestBytes(5 * 1024 * 1024 + 123);
  server.Handle("/up", [](const HttpTestRequest& request) {
    return HttpTestResponse::Text(200, "got " + std::to_string(request.body.size()));
  });
  server.Serve("/missing", HttpTestResponse::Text(404, "no such upload"));
  server.Serve("/busy", HttpTestResponse::Text(503, "later"));
  server.Serve("/auth", HttpTestResponse::Text(401, "who").With("WWW-Authenticate", "Basic"));
  server.Serve("/moved", HttpTestResponse::Redirect(302, server.Origin() + "/elsewhere"));
  const struct {
    const char* path;
    const std::string body;
    DOWNLOAD_ERRORCODE code;
    int status;
    const char* answer;
    size_t attempts;
  } cases[] = {
      {"/up", big, DOWNLOAD_OK, 200, "got 5243003", 1},
      {"/up", "", DOWNLOAD_OK, 200, "got 0", 1},
      {"/missing", "x", DOWNLOAD_OK, 404, "no such upload", 1},
      {"/busy", "x", DOWNLOAD_SERVER_ERROR, 503, nullptr, 1},
      {"/auth", "secret", DOWNLOAD_AUTH_REQUIRED, 401, nullptr, 3},
      {"/moved", "data", DOWNLOAD_FAILED, 302, nullptr, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const size_t before = server.RequestCount();
    const int id = UploadBytes(server.Url(c.path), c.body);
    ASSERT_TRUE(PumpUntilDone(log, id, 30s));
    const std::vector<HttpEvent> events = log.EventsOf(id);
    const HttpEvent& done = events.back();
    EXPECT_EQ(done.code, c.code);
    EXPECT_EQ(done.httpStatus, c.status);
    const std::vector<HttpTestRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), before + c.attempts);
    EXPECT_EQ(requests.back().method, "POST");
    EXPECT_FALSE(requests.back().HasHeader("Expect")) << "the body goes without waiting for 100";
    EXPECT_TRUE(requests.back().body == c.body) << "the body arrived byte-exact";
    if (!c.answer) continue;
    EXPECT_EQ(done.data, c.answer);
    EXPECT_EQ(done.text.substr(0, 9), L"HTTP/1.1 ");
    // Both values of an upload's progress record count the answer's bytes.
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2].ProgressHeld(), strlen(c.answer));
    EXPECT_EQ(events[events.size() - 2].ProgressEnd(), strlen(c.answer));
  }
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
  EXPECT_EQ(FetchAndWait(server.Url("/after"), log).data, "free") << "the worker went on";
  PumpFor(2100ms);
  EXPECT_TRUE(log.EventsOf(id).empty());
}

TEST_F(HttpTransferTest, ProbeAnswersWhetherAnAddressOpens) {
  server.Serve("/error", HttpTestResponse::Text(500, "broken"));
  EXPECT_EQ(ZvHttp::IsDestinationReachable(server.Url("/error").c_str()), 1) << "any status";
  EXPECT_EQ(ZvHttp::IsDestinationReachable(server.Url("/unknown").c_str()), 1);
  EXPECT_EQ(ZvHttp::IsDestinationReachable(RefusedUrl().c_str()), 0);
  const std::wstring unresolvable = L"http://" + std::wstring(70, L'a') + L".test/";
  EXPECT_EQ(ZvHttp::IsDestinationReachable(unresolvable.c_str()), 0);
  const size_t before = server.RequestCount();
  EXPECT_EQ(ZvHttp::IsDestinationReachable(L"not a url"), 0);
  EXPECT_EQ(ZvHttp::IsDestinationReachable(L"ftp://127.0.0.1/file"), 0);
  EXPECT_EQ(server.RequestCount(), before);
}

// Transfers and the probe go through the proxy that is set, and only with the right
// credentials; the system's settings (type 3) name the open HTTP proxy, direct access (type 0)
// ignores them.
TEST_F(HttpTransferTest, EachProxyTypeCarriesTransfersOnlyWithTheRightCredentials) {
  auto open = CTestProxy::Start(true), guarded = CTestProxy::Start(true, "alice", "s3cret");
  auto socks = CTestProxy::Start(false, "zoe", "pass-1"), openSocks = CTestProxy::Start(false);
  ASSERT_TRUE(open && guarded && socks && openSocks) << "a proxy did not start";
  server.Serve("/p", HttpTestResponse::Text(200, "proxied"));
  const std::string system = "http://127.0.0.1:" + std::to_string(open->Port());
  CScopedEnv lower("http_proxy", system), upper("HTTP_PROXY", system);
  CScopedEnv noProxy("no_proxy", std::nullopt), noProxyUpper("NO_PROXY", std::nullopt);
  const struct {
    int type;
    uint16_t port;
    const wchar_t* user;
    const wchar_t* password;
    bool reaches;
    bool viaHttpProxy;
  } cases[] = {
      {1, open->Port(), L"", L"", true, true},
      {1, guarded->Port(), L"alice", L"s3cret", true, true},
      {1, guarded->Port(), L"alice", L"wrong", false, false},
      {1, guarded->Port(), L"", L"", false, false},
      {2, socks->Port(), L"zoe", L"pass-1", true, false},
      {2, socks->Port(), L"zoe", L"wrong", false, false},
      {2, socks->Port(), L"", L"", false, false},
      {2, openSocks->Port(), L"", L"", true, false},
      {2, FreeLoopbackPort(), L"", L"", false, false},  // a dead proxy
      {3, 0, L"", L"", true, true},
      {0, 0, L"", L"", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "type " << c.type << " port " << c.port << " user "
                                    << (*c.user ? "set" : "none") << " " << c.password);
    UseProxy(c.type, c.port, c.user, c.password);
    const size_t before = server.RequestCount();
    const HttpEvent done = FetchAndWait(server.Url("/p"), log);
    // An HTTP proxy's refusal is an answer all the same for the probe.
    const int probe = ZvHttp::IsDestinationReachable(server.Url("/p").c_str());
    if (c.reaches || c.type != 1) {
      EXPECT_EQ(probe, c.reaches ? 1 : 0);
    }
    if (!c.reaches) {
      EXPECT_NE(done.code, DOWNLOAD_OK);
      if (c.type == 1 && !*c.user) {
        EXPECT_EQ(done.httpStatus, 407) << "asks for credentials";
      }
      EXPECT_EQ(server.RequestCount(), before) << "refused by the proxy";
      continue;
    }
    EXPECT_EQ(done.data, "proxied");
    ASSERT_EQ(server.RequestCount(), before + 2);
    EXPECT_EQ(server.Requests()[before].Header("Via").find("tinyproxy") != std::string::npos,
              c.viaHttpProxy);
  }
  for (auto* proxy : {&open, &socks, &openSocks}) {
    const std::string seen = proxy == &open ? "GET " + server.Origin() + "/p"
                                            : "connected to " + server.Origin().substr(7);
    EXPECT_TRUE(WaitUntil([&] { return (*proxy)->Log().find(seen) != std::string::npos; }))
        << (*proxy)->Log();
  }
}

// A cookie the caller sets for a URL goes only where that URL's host may send it: its domain
// attribute may name the host or a parent of it, never another site or a public suffix
// (RFC 6265 section 5.3). The test server is the HTTP proxy of every request, so the names
// below all reach it on loopback and none is ever resolved.
TEST_F(HttpTransferTest, CallerCookiesGoOnlyWhereTheirUrlMaySendThem) {
  UseProxy(1, server.Port(), L"", L"");
  const struct {
    const char* setOn;
    const char* domain;
    const char* askedBy;
    bool sent;
  } rows[] = {
      {"a.example", "b.example", "b.example", false},            // another site
      {"a.example", "b.example", "a.example", false},            // nor kept for its own
      {"a.example", "example", "c.example", false},              // a suffix of the * rule
      {"www.shop.co.uk", "co.uk", "other.co.uk", false},         // a listed suffix
      {"x.a.example", ".A.Example", "y.a.example", true},        // a parent, in any case
      {"a.example", "a.example", "x.a.example", true},           // the host and below it
      {"a.example", "evil-a.example", "evil-a.example", false},  // not a parent
  };
  int row = 0;
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.setOn << " domain=" << r.domain << " -> " << r.askedBy);
    const std::string name = "c" + std::to_string(++row);
    for (const char* host : {r.setOn, r.askedBy}) {
      server.Serve("http://" + std::string(host) + "/c", HttpTestResponse::Text(200, "ok"));
    }
    tagDefHttpPar set = HttpPar(L"http://" + Utf8ToWide(r.setOn) + L"/c");
    set.cookies[Utf8ToWide(name)] = L"1; domain=" + Utf8ToWide(r.domain);
    ASSERT_EQ(FetchAndWait(set, log).code, DOWNLOAD_OK);
    ASSERT_EQ(FetchAndWait(L"http://" + Utf8ToWide(r.askedBy) + L"/c", log).code, DOWNLOAD_OK);
    const HttpTestRequest asked = server.Requests().back();
    EXPECT_EQ(asked.target, "http://" + std::string(r.askedBy) + "/c") << "through the proxy";
    EXPECT_EQ(asked.Header("Cookie").find(name + "=1") != std::string::npos, r.sent)
        << asked.Header("Cookie");
  }
}
