// CHttpTask over TLS with a test authority, through real proxies (tinyproxy, microsocks) of
// each proxy type, and the reachability probe.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "http/GrowBuffer.h"
#include "platform/UniqueFd.h"
#include "tests/http/TaskRunner.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tests/support/TestProxy.h"

namespace {

using namespace std::chrono_literals;

tagDefHttpPar Par(const std::wstring& url) {
  tagDefHttpPar par;
  par.url = url;
  return par;
}

std::wstring W(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

// A loopback port on which nothing listens.
uint16_t ClosedPort() {
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

DOWNLOAD_ERRORCODE Fetch(const std::wstring& url, const tagHProxyInfo& proxy = {},
                         std::string* body = nullptr, CTaskRunner* into = nullptr) {
  CTaskRunner local;
  CTaskRunner& run = into ? *into : local;
  run.SetProxy(proxy);
  if (!run.StartMemory(Par(url)) || !run.WaitDone() || !run.Completion()) return DOWNLOAD_TIMEOUT;
  if (body) *body = run.Completion()->data;
  return run.Completion()->code;
}

TEST(HttpTaskNetwork, TlsTrustsTheAddedAuthorityChecksNamesAndToleratesDates) {
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
  EXPECT_EQ(Fetch(good.Url("/s", "localhost"), {}, &body), DOWNLOAD_OK);
  EXPECT_EQ(body, "secret");
  EXPECT_EQ(Fetch(wrongName.Url("/s", "localhost")), DOWNLOAD_FAILED);
  EXPECT_EQ(Fetch(unknown.Url("/s", "localhost")), DOWNLOAD_FAILED);
  EXPECT_EQ(Fetch(expired.Url("/s", "localhost")), DOWNLOAD_OK);
  EXPECT_EQ(wrongName.RequestCount() + unknown.RequestCount(), 0u);
  // An unknown scheme is let through; "https" anywhere in the URL makes it a secure fetch.
  EXPECT_EQ(Fetch(L"web://localhost:" + std::to_wstring(good.Port()) + L"/s?HTTPS=1", {}, &body),
            DOWNLOAD_OK);
  EXPECT_EQ(good.Requests().back().target, "/s?HTTPS=1");
}

TEST(HttpTaskNetwork, EachProxyTypeCarriesTheRequestTheWayItSays) {
  CHttpTestServer server;
  server.Serve("/p", HttpTestResponse::Text(200, "proxied"));
  auto http = CTestProxy::StartHttp("alice", "pw1");
  auto socks = CTestProxy::StartSocks5("bob", "pw2");
  ASSERT_TRUE(http && socks);
  CScopedEnv noProxy("no_proxy", std::nullopt);
  CScopedEnv noProxyUpper("NO_PROXY", std::nullopt);
  // The system settings point at the HTTP proxy, which wants credentials.
  CScopedEnv env("http_proxy", "http://" + http->HostPort());

  tagHProxyInfo viaHttp{1, W("127.0.0.1"), http->Port(), 1, L"alice", L"pw1"};
  tagHProxyInfo viaSocks{2, W("127.0.0.1"), socks->Port(), 1, L"bob", L"pw2"};
  tagHProxyInfo direct{0, L"", 0, 0, L"", L""};
  tagHProxyInfo system{3, L"", 0, 0, L"", L""};
  std::string body;
  EXPECT_EQ(Fetch(server.Url("/p"), viaHttp, &body), DOWNLOAD_OK);
  EXPECT_EQ(body, "proxied");
  EXPECT_EQ(Fetch(server.Url("/p"), viaSocks, &body), DOWNLOAD_OK);
  EXPECT_EQ(Fetch(server.Url("/p"), direct, &body), DOWNLOAD_OK);  // ignores http_proxy
  EXPECT_EQ(server.RequestCount(), 3u);
  CTaskRunner viaSystem;
  EXPECT_EQ(Fetch(server.Url("/p"), system, nullptr, &viaSystem), DOWNLOAD_FAILED);
  EXPECT_EQ(viaSystem.Count(WM_HTTPDOWNLOAD_AUTH_REQ), 1u);  // the proxy's 407
  EXPECT_EQ(viaSystem.Completion()->httpStatus, 407);
  tagHProxyInfo wrongPassword = viaSocks;
  wrongPassword.password = L"nope";
  EXPECT_EQ(Fetch(server.Url("/p"), wrongPassword), DOWNLOAD_FAILED);
  EXPECT_EQ(server.RequestCount(), 3u);
}

TEST(HttpTaskNetwork, ProbeOpensAnyAnsweringUrlAndNothingElse) {
  CHttpTestServer server;
  server.Serve("/gone", HttpTestResponse::Text(404, "gone"));
  CHttpTask task(0);
  EXPECT_EQ(task.IsUrlReachable(server.Url("/gone").c_str()), 1);
  EXPECT_EQ(task.IsUrlReachable(nullptr), 0);
  EXPECT_EQ(
      task.IsUrlReachable(W("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/").c_str()), 0);
  EXPECT_EQ(task.IsUrlReachable(L"not a url"), 0);

  auto socks = CTestProxy::StartSocks5("", "");
  ASSERT_TRUE(socks);
  CHttpTask viaSocks(0);
  viaSocks.SetProxy({2, L"127.0.0.1", socks->Port(), 0, L"", L""});
  EXPECT_EQ(viaSocks.IsUrlReachable(server.Url("/gone").c_str()), 1);
  CHttpTask deadProxy(0);
  deadProxy.SetProxy({2, L"127.0.0.1", ClosedPort(), 0, L"", L""});
  EXPECT_EQ(deadProxy.IsUrlReachable(server.Url("/gone").c_str()), 0);
  EXPECT_EQ(server.RequestCount(), 2u);
}

TEST(GrowBuffer, GrowsGeometricallyAndKeepsEveryByte) {
  GrowBuffer buffer;
  EXPECT_EQ(buffer.Capacity(), 2048u);
  std::string chunk(32768, '\0');
  size_t growths = 0;
  size_t capacity = buffer.Capacity();
  const size_t total = 64u * 1024 * 1024;
  for (size_t offset = 0; offset < total; offset += chunk.size()) {
    for (size_t i = 0; i < chunk.size(); i += 4096)
      chunk[i] = static_cast<char>((offset + i) >> 12);
    ASSERT_EQ(buffer.Append(chunk.data(), chunk.size()), 0);
    if (buffer.Capacity() != capacity) ++growths;
    capacity = buffer.Capacity();
  }
  EXPECT_EQ(buffer.Size(), total);
  // Doubling from 2 KiB reaches 64 MiB in about 15 steps; 1 KiB steps would take 65 000.
  EXPECT_LE(growths, 17u);
  for (size_t i = 0; i < total; i += 4096) {
    ASSERT_EQ(buffer.Data()[i], static_cast<unsigned char>(i >> 12)) << i;
  }
  std::unique_ptr<unsigned char[]> taken(buffer.Release());
  EXPECT_EQ(buffer.Size(), 0u);
  EXPECT_EQ(taken[4096 * 3], 3);
}

TEST(GrowBuffer, ReserveHoldsAKnownLengthWithoutGrowingAndKeepsWhatWasThere) {
  GrowBuffer buffer;
  ASSERT_EQ(buffer.Append("head", 4), 0);
  const size_t total = 8u * 1024 * 1024;
  ASSERT_EQ(buffer.Reserve(total), 0);
  EXPECT_EQ(buffer.Capacity(), total);
  std::string chunk(32768, 'x');
  size_t appended = 4;
  while (appended + chunk.size() <= total) {
    chunk[0] = static_cast<char>(appended >> 15);
    ASSERT_EQ(buffer.Append(chunk.data(), chunk.size()), 0);
    appended += chunk.size();
  }
  EXPECT_EQ(buffer.Capacity(), total);  // no growth while the body fits
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buffer.Data()), 4), "head");
  EXPECT_EQ(buffer.Data()[4 + 32768 * 5], static_cast<unsigned char>((4 + 32768 * 5) >> 15));
  // A smaller reservation changes nothing; more than was announced still grows.
  ASSERT_EQ(buffer.Reserve(16), 0);
  EXPECT_EQ(buffer.Capacity(), total);
  ASSERT_EQ(buffer.Append(chunk.data(), chunk.size()), 0);
  EXPECT_GT(buffer.Capacity(), total);
  EXPECT_EQ(buffer.Size(), appended + chunk.size());
}

}  // namespace
