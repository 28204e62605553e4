// Proxy type 3 on a GNOME desktop started by the test (GSettings' keyfile backend, a private
// session bus for the PAC runner), with real proxies on loopback: tinyproxy, microsocks, and
// the test's own server answering as a proxy with a body of its own.
//
// A change of the desktop's settings reaches the process within 2 seconds, so every case
// waits that long for the outcome that its settings call for before it checks the rest.
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/http/HttpExportsFixture.h"
#include "tests/http/TestDesktop.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/TestProxy.h"

namespace {

constexpr auto kChangeBound = 2s;

class SystemProxyTest : public HttpExportsTest {
 protected:
  // The desktop comes before the first look-up of the process: GIO picks its resolver once.
  static void SetUpTestSuite() { desktop = CTestDesktop::Start().release(); }
  static void TearDownTestSuite() {
    delete desktop;
    desktop = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(desktop) << "no session bus";
    ASSERT_TRUE(desktop->ResetAll());
    // Loopback is on the desktop's bypass list by default.
    ASSERT_TRUE(Set("/ignore-hosts", "[]"));
    HttpExportsTest::SetUp();
    tagHProxyInfo system{3, L"", 0, 0, L"", L""};
    ASSERT_EQ(ZvHttp::SetProxy(&system), 0);
  }

  // `where` is "group/key" ("/mode" for the top group).
  static bool Set(const std::string& where, const std::optional<std::string>& value) {
    const size_t slash = where.find('/');
    return desktop->Set(where.substr(0, slash), where.substr(slash + 1), value);
  }
  static std::string Quoted(const std::string& text) { return "'" + text + "'"; }

  // A download on the fixture's worker with the caller's time-out.
  HttpEvent FetchWithin(const std::wstring& url, unsigned timeoutMs) {
    int id = 0;
    EXPECT_EQ(Fetch(url, log, timeoutMs, &id), 0);
    EXPECT_TRUE(PumpUntilDone(log, id, 30s));
    return log.Terminal(id);
  }
  static std::wstring Wide(const std::string& text) { return {text.begin(), text.end()}; }

  static inline CTestDesktop* desktop = nullptr;
};

}  // namespace

// GNOME's manual settings, a row each: which proxy carries the transfer and the probe, with the
// credentials the desktop keeps, and what its bypass list keeps direct. Each row's outcome
// differs from the row before it, so that a row is seen only once its settings apply; the host
// runs no GLib loop, and each change, the mode's too, applies within 2 seconds.
TEST_F(SystemProxyTest, ManualSettingsChooseTheProxyForTransfersAndProbe) {
  auto open = CTestProxy::Start(true), guarded = CTestProxy::Start(true, "alice", "s3cret");
  auto socks = CTestProxy::Start(false);
  ASSERT_TRUE(open && guarded && socks) << "a proxy did not start";
  server.Serve("/p", HttpTestResponse::Text(200, "proxied"));
  const std::string openPort = std::to_string(open->Port());
  const std::string guardedPort = std::to_string(guarded->Port());
  enum class Via { kDirect, kHttpProxy, kSocks, kNothing };
  struct Outcome {
    Via via;
    int status;  // of a transfer that was not carried
    ZV_FAILURE_CAUSE failure;
    bool operator==(const Outcome&) const = default;
  };
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> settings;
    Outcome outcome;
  } cases[] = {
      {"none", {{"/mode", "'none'"}}, {Via::kDirect, 0, ZV_FAILURE_NONE}},
      {"http proxy",
       {{"/mode", "'manual'"}, {"http/host", "'127.0.0.1'"}, {"http/port", openPort}},
       {Via::kHttpProxy, 0, ZV_FAILURE_NONE}},
      {"loopback on the bypass list",
       {{"/ignore-hosts", "['localhost', '127.0.0.0/8']"}},
       {Via::kDirect, 0, ZV_FAILURE_NONE}},
      {"credentials kept",
       {{"/ignore-hosts", "[]"},
        {"http/port", guardedPort},
        {"http/use-authentication", "true"},
        {"http/authentication-user", "'alice'"},
        {"http/authentication-password", "'s3cret'"}},
       {Via::kHttpProxy, 0, ZV_FAILURE_NONE}},
      {"wrong credentials",
       {{"http/authentication-password", "'wrong'"}},
       {Via::kNothing, 401, ZV_FAILURE_NONE}},  // tinyproxy's answer to wrong ones
      {"socks",
       {{"http/host", "''"},
        {"socks/host", "'127.0.0.1'"},
        {"socks/port", std::to_string(socks->Port())}},
       {Via::kSocks, 0, ZV_FAILURE_NONE}},
      {"dead proxy",
       {{"socks/port", std::to_string(FreeLoopbackPort())}},
       {Via::kNothing, 0, ZV_FAILURE_PROXY_UNREACHABLE}},
      {"back to none", {{"/mode", "'none'"}}, {Via::kDirect, 0, ZV_FAILURE_NONE}},
  };
  size_t firstRequest = 0;
  auto observe = [&] {
    firstRequest = server.RequestCount();
    const size_t socksLog = socks->Log().size();
    const HttpEvent done = FetchWithin(server.Url("/p"), 20000);
    if (done.code != DOWNLOAD_OK) return Outcome{Via::kNothing, done.httpStatus, done.failure};
    const bool viaHttp =
        server.RequestCount() > firstRequest &&
        server.Requests()[firstRequest].Header("Via").find("tinyproxy") != std::string::npos;
    // microsocks logs a connection as it makes it, before it relays the request.
    const bool viaSocks = socks->Log().size() > socksLog;
    return Outcome{viaHttp    ? Via::kHttpProxy
                   : viaSocks ? Via::kSocks
                              : Via::kDirect,
                   0, ZV_FAILURE_NONE};
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [where, value] : c.settings) ASSERT_TRUE(Set(where, value)) << where;
    Outcome seen{};
    EXPECT_TRUE(WaitUntil([&] { return (seen = observe()) == c.outcome; }, kChangeBound))
        << "via " << static_cast<int>(seen.via) << " status " << seen.status << " failure "
        << seen.failure;
    if (c.outcome.via == Via::kNothing) {
      EXPECT_EQ(server.RequestCount(), firstRequest) << "went around the proxy";
      continue;
    }
    EXPECT_EQ(ZvHttp::IsDestinationReachable(server.Url("/p").c_str()), 1);
    ASSERT_EQ(server.RequestCount(), firstRequest + 2);
    EXPECT_EQ(
        server.Requests()[firstRequest + 1].Header("Via").find("tinyproxy") != std::string::npos,
        c.outcome.via == Via::kHttpProxy)
        << "the probe went another way";
  }
}

// Automatic settings: a PAC script from the test's server sends one host through a proxy,
// after a dead one that the script lists first, and another host direct. The proxy is the
// test's server itself, answering a proxy's request with a body of its own: 127.0.0.2, where
// nothing listens, is reached through it only.
TEST_F(SystemProxyTest, PacScriptSendsOneHostThroughTheProxyAndAnotherDirect) {
  const std::string port = std::to_string(server.Port());
  const std::string script =
      "function FindProxyForURL(url, host) {\n"
      "  if (host == \"127.0.0.2\")\n"
      "    return \"PROXY 127.0.0.1:" +
      std::to_string(FreeLoopbackPort()) + "; PROXY 127.0.0.1:" + port +
      "\";\n"
      "  return \"DIRECT\";\n"
      "}\n";
  server.Serve("/proxy.pac", HttpTestResponse::Text(200, script));
  const std::string proxied = "http://127.0.0.2:" + port + "/p";
  server.Serve(proxied, HttpTestResponse::Text(200, "from the proxy"));
  server.Serve("/d", HttpTestResponse::Text(200, "direct"));
  ASSERT_TRUE(Set("/autoconfig-url", Quoted(server.Origin() + "/proxy.pac")));
  ASSERT_TRUE(Set("/mode", "'auto'"));

  // The first look-up starts the PAC runner on the bus and fetches the script.
  EXPECT_TRUE(
      WaitUntil([&] { return FetchWithin(Wide(proxied), 20000).data == "from the proxy"; }, 15s));
  EXPECT_EQ(FetchWithin(server.Url("/d"), 20000).data, "direct");
  EXPECT_EQ(ZvHttp::IsDestinationReachable(Wide(proxied).c_str()), 1);
  EXPECT_EQ(ZvHttp::IsDestinationReachable(server.Url("/d").c_str()), 1);
  const std::vector<HttpTestRequest> requests = server.Requests();
  auto count = [&](const std::string& target) {
    return std::count_if(requests.begin(), requests.end(),
                         [&](const HttpTestRequest& request) { return request.target == target; });
  };
  EXPECT_GE(count(proxied), 2);
  EXPECT_EQ(count("/d"), 2) << "a direct request went through a proxy";
}

// A PAC script that never comes (the runner gives up only after 25 seconds): the caller's
// time-out ends the request on time, and the worker is free for its next request at once.
TEST_F(SystemProxyTest, CallersTimeOutBoundsAPacScriptThatNeverComes) {
  ASSERT_TRUE(Set("/autoconfig-url", Quoted(server.Origin() + "/hang")));
  ASSERT_TRUE(Set("/mode", "'auto'"));
  HttpEvent done;
  auto timedOut = [&] {
    const auto start = std::chrono::steady_clock::now();
    done = FetchWithin(QuickUrl(), 2000);
    // The time-out pass runs every 2 seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
    return done.code == DOWNLOAD_TIMEOUT;
  };
  EXPECT_TRUE(WaitUntil(timedOut, 10s)) << done.code;
  tagHProxyInfo direct{0, L"", 0, 0, L"", L""};
  ASSERT_EQ(ZvHttp::SetProxy(&direct), 0);
  int id = 0;
  ASSERT_EQ(Fetch(QuickUrl(), log, 20000, &id), 0);
  ASSERT_TRUE(PumpUntilDone(log, id, 10s)) << "the worker still waits for the look-up";
  EXPECT_EQ(log.Terminal(id).code, DOWNLOAD_OK);
}
