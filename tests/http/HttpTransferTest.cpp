// Real transfers through the exports: downloads, uploads, the reachability probe, and real
// proxies (tinyproxy, microsocks) started on loopback by the tests.
#include <cstdlib>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>

#include "platform/UniqueFd.h"
#include "tests/http/HttpExportsFixture.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TestProxy.h"

#include <netinet/in.h>
#include <sys/socket.h>

namespace {

std::string RandomBytes(size_t size) {
  std::mt19937 random(size);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A loopback port on which nothing listens: connections are refused.
uint16_t ClosedPort() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);  // released when `fd` closes
}

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
    tagHProxyInfo info;
    info.type = type;
    info.host = L"127.0.0.1";
    info.port = port;
    info.needAuth = user.empty() ? 0 : 1;
    info.user = user;
    info.password = password;
    ASSERT_EQ(ZvHttp::SetProxy(&info), 0);
  }

  CHttpCallbackLog log;
};

}  // namespace

TEST_F(HttpTransferTest, DownloadsIntoMemoryAndFileWithProgress) {
  const std::string body = RandomBytes(200000);
  server.Serve("/data", HttpTestResponse::Text(200, body));
  HttpEvent done = FetchAndWait(server.Url("/data"));
  EXPECT_EQ(done.code, DOWNLOAD_OK);
  EXPECT_EQ(done.httpStatus, 200);
  EXPECT_EQ(done.data, body);

  char folder[] = "/tmp/zvnet-download-XXXXXX";
  ASSERT_NE(::mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/copy.bin";
  tagDefHttpPar par;
  par.url = server.Url("/data");
  int id = 0;
  ASSERT_EQ(
      ZvHttp::DownloadInFile(&par, std::wstring(path.begin(), path.end()),
                             CHttpCallbackLog::Callback, 20000, &id, log.Param(), worker, false),
      0);
  ASSERT_TRUE(PumpUntilDone(log, id));
  std::vector<HttpEvent> events = log.EventsOf(id);
  ASSERT_GE(events.size(), 2u);
  for (size_t i = 0; i + 1 < events.size(); ++i) {
    EXPECT_EQ(events[i].code, DOWNLOAD_PROGRESS);
    EXPECT_EQ(events[i].data.size(), 8u);
    EXPECT_EQ(events[i].ProgressEnd(), body.size());
  }
  EXPECT_EQ(events[events.size() - 2].ProgressHeld(), body.size());
  EXPECT_EQ(events.back().code, DOWNLOAD_OK);
  EXPECT_TRUE(events.back().data.empty()) << "a file download carries no payload";
  EXPECT_EQ(ReadFile(path), body);
  std::remove(path.c_str());
  ::rmdir(folder);
}

TEST_F(HttpTransferTest, UploadDeliversSeveralMegabytesByteExactAndTheAnswer) {
  const std::string body = RandomBytes(5 * 1024 * 1024 + 123);
  server.Handle("/up", [](const HttpTestRequest& request) {
    return HttpTestResponse::Text(200, "got " + std::to_string(request.body.size()));
  });
  CLogCapture capture;
  const int id = UploadBytes(server.Url("/up"), body);
  ASSERT_TRUE(PumpUntilDone(log, id, 30s));
  HttpEvent done = log.Terminal(id);
  EXPECT_EQ(done.code, DOWNLOAD_OK);
  EXPECT_EQ(done.httpStatus, 200);
  EXPECT_EQ(done.data, "got " + std::to_string(body.size()));
  std::vector<HttpTestRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].Header("Content-Type"), "application/octet-stream");
  EXPECT_TRUE(requests[0].body == body) << "the body arrived byte-exact";
  EXPECT_TRUE(capture.Contains("CHttpTaskService::Upload for Work ID:" + std::to_string(worker) +
                               "   Cookie:" + std::to_string(id)));
}

TEST_F(HttpTransferTest, UploadWithoutBodyAndWithErrorAnswers) {
  server.Handle("/empty", [](const HttpTestRequest& request) {
    return HttpTestResponse::Text(200, "length " + request.Header("Content-Length"));
  });
  server.Serve("/missing", HttpTestResponse::Text(404, "no such upload"));
  server.Serve("/busy", HttpTestResponse::Text(503, "later"));

  int empty = UploadBytes(server.Url("/empty"), "");
  ASSERT_TRUE(PumpUntilDone(log, empty));
  EXPECT_EQ(log.Terminal(empty).code, DOWNLOAD_OK);
  EXPECT_EQ(log.Terminal(empty).data, "length 0");

  int missing = UploadBytes(server.Url("/missing"), "x");
  ASSERT_TRUE(PumpUntilDone(log, missing));
  EXPECT_EQ(log.Terminal(missing).code, DOWNLOAD_OK) << "a 404 answer is still an answer";
  EXPECT_EQ(log.Terminal(missing).httpStatus, 404);
  EXPECT_EQ(log.Terminal(missing).data, "no such upload");

  int busy = UploadBytes(server.Url("/busy"), "x");
  ASSERT_TRUE(PumpUntilDone(log, busy));
  EXPECT_EQ(log.Terminal(busy).code, DOWNLOAD_SERVER_ERROR);
  size_t busyRequests = 0;
  for (const HttpTestRequest& request : server.Requests()) busyRequests += request.path == "/busy";
  EXPECT_EQ(busyRequests, 1u) << "one attempt";
}

TEST_F(HttpTransferTest, UploadRefusedThreeTimesReportsAuthenticationRequired) {
  CLogCapture capture;
  server.Serve(
      "/auth",
      HttpTestResponse::Text(401, "who are you").With("WWW-Authenticate", "Basic realm=\"x\""));
  int id = UploadBytes(server.Url("/auth"), "secret data");
  ASSERT_TRUE(PumpUntilDone(log, id));
  EXPECT_EQ(log.Terminal(id).code, DOWNLOAD_AUTH_REQUIRED);
  EXPECT_EQ(server.RequestCount(), 3u);
  EXPECT_EQ(capture.Count("CHttpTaskService::OnMulThreadProxyMsg WM_HTTPDOWNLOAD_AUTH_REQ"), 3);
}

TEST_F(HttpTransferTest, UploadRedirectIsReportedAndNotFollowed) {
  server.Serve("/moved", HttpTestResponse::Redirect(302, server.Origin() + "/elsewhere"));
  int id = UploadBytes(server.Url("/moved"), "data");
  ASSERT_TRUE(PumpUntilDone(log, id));
  std::vector<HttpEvent> events = log.EventsOf(id);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].code, DOWNLOAD_REDIRECT);
  EXPECT_EQ(events[0].text, server.Url("/elsewhere"));
  EXPECT_EQ(events[1].code, DOWNLOAD_FAILED);
  EXPECT_EQ(server.RequestCount(), 1u);
}

TEST_F(HttpTransferTest, UploadStoppedWhileWritingDeliversNothing) {
  server.StallOnRequestBody("/stall");
  server.Serve("/after", HttpTestResponse::Text(200, "free"));
  int id = UploadBytes(server.Url("/stall"), RandomBytes(16 * 1024 * 1024), 60000);
  ASSERT_TRUE(server.WaitForRequests(1, 10s));
  PumpFor(200ms);  // the body is being written into a server that takes no more
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
  const std::wstring refused = L"http://127.0.0.1:" + std::to_wstring(ClosedPort()) + L"/";
  EXPECT_EQ(ZvHttp::IsDestinationReachable(refused.c_str()), 0);
  EXPECT_EQ(ZvHttp::IsDestinationReachable(UnresolvableUrl().c_str()), 0);
  const size_t before = server.RequestCount();
  EXPECT_EQ(ZvHttp::IsDestinationReachable(nullptr), 0);
  EXPECT_EQ(server.RequestCount(), before);
}

TEST_F(HttpTransferTest, ProbeGoesThroughSocks5) {
  auto proxy = CTestProxy::StartSocks5("", "");
  ASSERT_TRUE(proxy) << "microsocks did not start";
  server.Serve("/p", HttpTestResponse::Text(404, "any answer"));
  UseProxy(2, proxy->Port());
  EXPECT_EQ(ZvHttp::IsDestinationReachable(server.Url("/p").c_str()), 1);
  EXPECT_TRUE(proxy->WaitForLog("connected to 127.0.0.1:" + std::to_string(server.Port()), 5s))
      << proxy->Log();
  EXPECT_EQ(server.RequestCount(), 1u);
  const std::wstring refused = L"http://127.0.0.1:" + std::to_wstring(ClosedPort()) + L"/";
  EXPECT_EQ(ZvHttp::IsDestinationReachable(refused.c_str()), 0);
}

TEST_F(HttpTransferTest, TransfersGoThroughSocks5WithPassword) {
  auto proxy = CTestProxy::StartSocks5("zoe", "pass-1");
  ASSERT_TRUE(proxy) << "microsocks did not start";
  server.Serve("/p", HttpTestResponse::Text(200, "via socks"));
  UseProxy(2, proxy->Port(), L"zoe", L"pass-1");
  EXPECT_EQ(FetchAndWait(server.Url("/p")).data, "via socks");
  EXPECT_TRUE(proxy->WaitForLog("connected to 127.0.0.1:" + std::to_string(server.Port()), 5s))
      << proxy->Log();
  ASSERT_EQ(server.RequestCount(), 1u);

  UseProxy(2, proxy->Port(), L"zoe", L"wrong");
  EXPECT_NE(FetchAndWait(server.Url("/p")).code, DOWNLOAD_OK);
  UseProxy(2, proxy->Port());
  EXPECT_NE(FetchAndWait(server.Url("/p")).code, DOWNLOAD_OK);
  EXPECT_EQ(server.RequestCount(), 1u) << "wrong credentials get nowhere";
}

TEST_F(HttpTransferTest, TransfersGoThroughTinyproxyWithAndWithoutBasicAuth) {
  server.Serve("/h", HttpTestResponse::Text(200, "via http proxy"));
  {
    auto open = CTestProxy::StartHttp();
    ASSERT_TRUE(open) << "tinyproxy did not start";
    UseProxy(1, open->Port());
    EXPECT_EQ(FetchAndWait(server.Url("/h")).data, "via http proxy");
    ASSERT_EQ(server.RequestCount(), 1u);
    EXPECT_NE(server.Requests()[0].Header("Via").find("tinyproxy"), std::string::npos);
    EXPECT_TRUE(open->WaitForLog("GET " + server.Origin() + "/h", 5s)) << open->Log();
  }
  auto guarded = CTestProxy::StartHttp("alice", "s3cret");
  ASSERT_TRUE(guarded) << "tinyproxy did not start";
  UseProxy(1, guarded->Port(), L"alice", L"s3cret");
  EXPECT_EQ(FetchAndWait(server.Url("/h")).data, "via http proxy");
  ASSERT_EQ(server.RequestCount(), 2u);
  EXPECT_NE(server.Requests()[1].Header("Via").find("tinyproxy"), std::string::npos);

  UseProxy(1, guarded->Port(), L"alice", L"wrong");
  EXPECT_NE(FetchAndWait(server.Url("/h")).code, DOWNLOAD_OK);
  UseProxy(1, guarded->Port());
  EXPECT_NE(FetchAndWait(server.Url("/h")).code, DOWNLOAD_OK);
  EXPECT_EQ(server.RequestCount(), 2u) << "refused by the proxy";
}

TEST_F(HttpTransferTest, SystemSettingsFollowTheProxyEnvironmentAndDirectIgnoresIt) {
  auto proxy = CTestProxy::StartHttp();
  ASSERT_TRUE(proxy) << "tinyproxy did not start";
  server.Serve("/e", HttpTestResponse::Text(200, "env"));
  const std::string address = "http://127.0.0.1:" + std::to_string(proxy->Port());
  CScopedEnv lower("http_proxy", address);
  CScopedEnv upper("HTTP_PROXY", address);
  CScopedEnv noProxy("no_proxy", std::nullopt);
  CScopedEnv noProxyUpper("NO_PROXY", std::nullopt);

  UseProxy(3, 0);
  EXPECT_EQ(FetchAndWait(server.Url("/e")).data, "env");
  UseProxy(0, 0);
  EXPECT_EQ(FetchAndWait(server.Url("/e")).data, "env");
  std::vector<HttpTestRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_NE(requests[0].Header("Via").find("tinyproxy"), std::string::npos)
      << "type 3 takes the environment's proxy";
  EXPECT_FALSE(requests[1].HasHeader("Via")) << "type 0 goes direct";
}
