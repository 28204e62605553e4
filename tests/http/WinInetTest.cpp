// The WinINet stand-in on libcurl, driven through its WinINet calls as the HTTP task drives
// it: asynchronous sessions completing through status 100, statuses in real time, pooled
// connections, redirects, cookies, proxies, TLS and the synchronous open-URL.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/MessageWindow.h"
#include "platform/WinInet.h"
#include "tests/support/BlackHoleListener.h"
#include "tests/support/HttpTestResource.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tests/support/TestProxy.h"

namespace {

constexpr wchar_t kAgent[] = L"Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)";

// What the status callback saw for one asynchronous client, and its completion event.
class CStatusLog {
 public:
  static void Callback(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD) {
    auto* self = reinterpret_cast<CStatusLog*>(context);
    std::lock_guard guard(self->mutex);
    self->statuses.push_back(status);
    if (status == INTERNET_STATUS_REDIRECT) {
      self->redirects.push_back(static_cast<const wchar_t*>(info));
    }
    if (status == INTERNET_STATUS_REQUEST_COMPLETE) {
      self->last = *static_cast<INTERNET_ASYNC_RESULT*>(info);
      self->complete.Set();
    }
  }

  // Waits for status 100 and answers its result.
  INTERNET_ASYNC_RESULT Wait() {
    EXPECT_EQ(complete.Wait(10000), WAIT_OBJECT_0) << "no REQUEST_COMPLETE";
    complete.Reset();
    std::lock_guard guard(mutex);
    return last;
  }
  std::vector<DWORD> Statuses() {
    std::lock_guard guard(mutex);
    return statuses;
  }
  bool Saw(DWORD status) {
    auto all = Statuses();
    return std::find(all.begin(), all.end(), status) != all.end();
  }
  DWORD_PTR Context() { return reinterpret_cast<DWORD_PTR>(this); }

  std::mutex mutex;
  std::vector<DWORD> statuses;
  std::vector<std::wstring> redirects;
  INTERNET_ASYNC_RESULT last{};
  CEvent complete{CEvent::ResetMode::kManual};
};

// One asynchronous session, connection and request set, closed at the end.
class CAsyncClient {
 public:
  explicit CAsyncClient(DWORD access = INTERNET_OPEN_TYPE_DIRECT, const wchar_t* proxy = nullptr) {
    session = InternetOpenW(kAgent, access, proxy, nullptr, INTERNET_FLAG_ASYNC);
    InternetSetStatusCallbackW(session, &CStatusLog::Callback);
  }
  ~CAsyncClient() {
    if (request) InternetCloseHandle(request);
    if (connection) InternetCloseHandle(connection);
    InternetCloseHandle(session);
  }

  bool Open(const std::string& host, INTERNET_PORT port, const std::wstring& object,
            DWORD flags = INTERNET_FLAG_RELOAD) {
    connection = InternetConnectW(session, Utf8(host).c_str(), port, nullptr, nullptr,
                                  INTERNET_SERVICE_HTTP, 0, log.Context());
    const wchar_t* accept[] = {L"*/*", nullptr};
    request = HttpOpenRequestW(connection, L"GET", object.c_str(), L"HTTP/1.1", L"", accept, flags,
                               log.Context());
    return connection && request;
  }

  // Sends and waits for the answer's head; true when it arrived.
  bool Send(const std::wstring& headers = L"") {
    if (HttpSendRequestW(request, headers.c_str(), static_cast<DWORD>(headers.size()), nullptr,
                         0)) {
      return true;
    }
    if (GetLastError() != ERROR_IO_PENDING) return false;
    INTERNET_ASYNC_RESULT result = log.Wait();
    error = result.dwError;
    return result.dwResult != 0;
  }

  // Reads the whole body; false on a failed read.
  bool ReadAll(std::string& body, DWORD chunk = 32768) {
    std::string buffer(chunk, '\0');
    for (;;) {
      INTERNET_BUFFERSA out{};
      out.dwStructSize = sizeof out;
      out.lpvBuffer = buffer.data();
      out.dwBufferLength = chunk;
      if (!InternetReadFileExA(request, &out, IRF_SYNC, log.Context())) {
        if (GetLastError() != ERROR_IO_PENDING) return false;
        INTERNET_ASYNC_RESULT result = log.Wait();
        if (!result.dwResult) return false;
      }
      if (out.dwBufferLength == 0) return true;
      body.append(buffer.data(), out.dwBufferLength);
    }
  }

  int Status() {
    char text[100] = {};
    DWORD length = sizeof text;
    if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE, text, &length, nullptr)) return 0;
    return std::atoi(text);
  }

  std::wstring Header(DWORD query) {
    DWORD length = 0;
    HttpQueryInfoW(request, query, nullptr, &length, nullptr);
    std::wstring text(length / sizeof(wchar_t) + 1, L'\0');
    if (!HttpQueryInfoW(request, query, text.data(), &length, nullptr)) return L"";
    text.resize(length / sizeof(wchar_t));
    return text;
  }

  static std::wstring Utf8(const std::string& text) {
    return std::wstring(text.begin(), text.end());
  }

  CStatusLog log;
  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
  DWORD error = 0;
};

std::wstring W(const std::string& text) {
  return std::wstring(text.begin(), text.end());
}

std::string Pattern(size_t size) {
  std::string data(size, '\0');
  uint32_t x = 12345;
  for (char& c : data) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 24);
  }
  return data;
}

TEST(WinInet, AsyncDownloadReportsStatusesInOrderAndDeliversTheBody) {
  CHttpTestServer server;
  const std::string content = Pattern(3 * 1024 * 1024 + 17);
  server.Handle("/big", CHttpTestResource(content));
  CAsyncClient client;
  ASSERT_TRUE(client.Open("127.0.0.1", server.Port(), L"/big"));
  // The handles were announced synchronously.
  EXPECT_EQ(client.log.Statuses(),
            (std::vector<DWORD>{INTERNET_STATUS_HANDLE_CREATED, INTERNET_STATUS_HANDLE_CREATED}));
  ASSERT_TRUE(client.Send());
  EXPECT_EQ(client.Status(), 200);
  std::string body;
  ASSERT_TRUE(client.ReadAll(body));
  EXPECT_EQ(body.size(), content.size());
  EXPECT_TRUE(body == content);
  std::vector<DWORD> s = client.log.Statuses();
  std::vector<DWORD> head(s.begin() + 2, s.begin() + 9);
  EXPECT_EQ(head, (std::vector<DWORD>{10, 11, 20, 21, 30, 31, 100}));
  uint64_t length = 0;
  DWORD size = sizeof length;
  ASSERT_TRUE(HttpQueryInfoW(client.request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER64,
                             &length, &size, nullptr));
  EXPECT_EQ(length, content.size());
  std::wstring raw = client.Header(HTTP_QUERY_RAW_HEADERS_CRLF);
  EXPECT_EQ(raw.substr(0, 17), L"HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(raw.substr(raw.size() - 4), L"\r\n\r\n");
}

TEST(WinInet, FollowingRequestReusesThePooledConnectionWithoutConnectStatuses) {
  CHttpTestServer server;
  server.Serve("/a", HttpTestResponse::Text(200, "first"));
  for (int round = 0; round < 2; ++round) {
    CAsyncClient client;
    ASSERT_TRUE(client.Open("127.0.0.1", server.Port(), L"/a"));
    ASSERT_TRUE(client.Send());
    std::string body;
    ASSERT_TRUE(client.ReadAll(body));
    EXPECT_EQ(body, "first");
    EXPECT_EQ(client.log.Saw(INTERNET_STATUS_CONNECTING_TO_SERVER), round == 0);
    EXPECT_EQ(client.log.Saw(INTERNET_STATUS_RESOLVING_NAME), round == 0);
    EXPECT_TRUE(client.log.Saw(INTERNET_STATUS_REQUEST_SENT));
  }
  EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST(WinInet, ShortBodyEndsLikeEndOfDataAndQueriesReportTheLie) {
  CHttpTestServer server;
  HttpTestResponse lie = HttpTestResponse::Text(200, std::string(900, 'x'));
  lie.contentLength = 1000;
  server.Serve("/lie", lie);
  CAsyncClient client;
  ASSERT_TRUE(client.Open("127.0.0.1", server.Port(), L"/lie"));
  ASSERT_TRUE(client.Send());
  DWORD length = 0;
  DWORD size = sizeof length;
  ASSERT_TRUE(HttpQueryInfoW(client.request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER,
                             &length, &size, nullptr));
  EXPECT_EQ(length, 1000u);
  std::string body;
  EXPECT_TRUE(client.ReadAll(body));
  EXPECT_EQ(body.size(), 900u);
}

TEST(WinInet, FollowsRedirectsAcrossPortsUnlessTheRequestSaysNot) {
  CHttpTestServer target;
  CHttpTestServer origin;
  target.Serve("/new", HttpTestResponse::Text(200, "moved here"));
  origin.Serve("/old", HttpTestResponse::Redirect(302, target.Origin() + "/new"));
  {
    CAsyncClient client;
    ASSERT_TRUE(client.Open("127.0.0.1", origin.Port(), L"/old"));
    ASSERT_TRUE(client.Send());
    EXPECT_EQ(client.Status(), 200);
    std::string body;
    ASSERT_TRUE(client.ReadAll(body));
    EXPECT_EQ(body, "moved here");
    ASSERT_EQ(client.log.redirects.size(), 1u);
    EXPECT_EQ(client.log.redirects[0], W(target.Origin() + "/new"));
  }
  {
    CAsyncClient client;
    ASSERT_TRUE(client.Open("127.0.0.1", origin.Port(), L"/old",
                            INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT));
    ASSERT_TRUE(client.Send());
    EXPECT_EQ(client.Status(), 302);
    EXPECT_EQ(client.Header(HTTP_QUERY_LOCATION), W(target.Origin() + "/new"));
    EXPECT_FALSE(client.log.Saw(INTERNET_STATUS_REDIRECT));
  }
  EXPECT_EQ(target.RequestCount(), 1u);
}

TEST(WinInet, CookiesSetForAUrlAndBySeversReachLaterRequests) {
  CHttpTestServer server;
  server.Serve("/set",
               HttpTestResponse::Text(200, "").With("Set-Cookie", "fromServer=yes; Path=/"));
  server.Serve("/echo", HttpTestResponse::Text(200, ""));
  ASSERT_TRUE(InternetSetCookieW(server.Url("/echo").c_str(), L"mine", L"42"));
  for (const wchar_t* path : {L"/set", L"/echo"}) {
    CAsyncClient client;
    ASSERT_TRUE(client.Open("127.0.0.1", server.Port(), path));
    ASSERT_TRUE(client.Send());
    std::string body;
    ASSERT_TRUE(client.ReadAll(body));
  }
  std::string cookies = server.Requests()[1].Header("Cookie");
  EXPECT_NE(cookies.find("mine=42"), std::string::npos) << cookies;
  EXPECT_NE(cookies.find("fromServer=yes"), std::string::npos) << cookies;
}

TEST(WinInet, CloseEndsAPendingReadAndNothingIsReportedAfterwards) {
  CHttpTestServer server;
  HttpTestResponse slow = HttpTestResponse::Text(200, std::string(100, 's'));
  slow.delayBeforeBody = std::chrono::seconds(30);
  server.Serve("/slow", slow);
  CAsyncClient client;
  ASSERT_TRUE(client.Open("127.0.0.1", server.Port(), L"/slow"));
  ASSERT_TRUE(client.Send());
  char buffer[64];
  INTERNET_BUFFERSA out{};
  out.dwStructSize = sizeof out;
  out.lpvBuffer = buffer;
  out.dwBufferLength = sizeof buffer;
  ASSERT_FALSE(InternetReadFileExA(client.request, &out, IRF_ASYNC, client.log.Context()));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(InternetCloseHandle(client.request));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  size_t seen = client.log.Statuses().size();
  client.request = nullptr;
  EXPECT_FALSE(InternetCloseHandle(client.request));
  EXPECT_EQ(client.log.Statuses().size(), seen);
}

TEST(WinInet, ConnectToABlackHoleStaysPendingUntilClosed) {
  CBlackHoleListener hole;
  CAsyncClient client;
  ASSERT_TRUE(client.Open("127.0.0.1", hole.Port(), L"/"));
  ASSERT_FALSE(HttpSendRequestW(client.request, L"", 0, nullptr, 0));
  ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
  EXPECT_EQ(client.log.complete.Wait(300), WAIT_TIMEOUT);
  EXPECT_TRUE(client.log.Saw(INTERNET_STATUS_CONNECTING_TO_SERVER));
  EXPECT_FALSE(client.log.Saw(INTERNET_STATUS_CONNECTED_TO_SERVER));
}

TEST(WinInet, UploadStreamsTheBodyAndEndsWithTheAnswer) {
  CHttpTestServer server;
  server.Handle("/up", [](const HttpTestRequest& request) {
    return HttpTestResponse::Text(201, "got " + std::to_string(request.body.size()));
  });
  CAsyncClient client;
  client.connection = InternetConnectW(client.session, L"127.0.0.1", server.Port(), nullptr,
                                       nullptr, INTERNET_SERVICE_HTTP, 0, client.log.Context());
  client.request =
      HttpOpenRequestW(client.connection, L"POST", L"/up", L"HTTP/1.1", L"", nullptr,
                       INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT, client.log.Context());
  const std::string data = Pattern(700 * 1024);
  std::wstring headers = L"X-Kind: upload\r\n";
  INTERNET_BUFFERSW in{};
  in.dwStructSize = sizeof in;
  in.lpcszHeader = headers.c_str();
  in.dwHeadersLength = static_cast<DWORD>(headers.size());
  in.dwBufferTotal = static_cast<DWORD>(data.size());
  auto wait = [&](BOOL ok) {
    if (ok) return true;
    if (GetLastError() != ERROR_IO_PENDING) return false;
    return client.log.Wait().dwResult != 0;
  };
  ASSERT_TRUE(wait(HttpSendRequestExW(client.request, &in, nullptr, 0, 0)));
  for (size_t sent = 0; sent < data.size();) {
    DWORD written = 0;
    DWORD piece = static_cast<DWORD>(std::min<size_t>(1024, data.size() - sent));
    ASSERT_TRUE(wait(InternetWriteFile(client.request, data.data() + sent, piece, &written)));
    sent += written;
  }
  ASSERT_TRUE(wait(HttpEndRequestW(client.request, nullptr, 0, 0)));
  EXPECT_EQ(client.Status(), 201);
  std::string answer;
  ASSERT_TRUE(client.ReadAll(answer, 4096));
  EXPECT_EQ(answer, "got " + std::to_string(data.size()));
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].body == data);
  EXPECT_EQ(requests[0].Header("X-Kind"), "upload");
  EXPECT_FALSE(requests[0].HasHeader("Content-Type"));
  EXPECT_FALSE(requests[0].HasHeader("Expect"));
}

TEST(WinInet, TlsVerifiesChainAndNameButToleratesDatesWhenAsked) {
  CTestCertificateAuthority ca;
  CTestCertificateAuthority stranger("someone else");
  CHttpTestServer good(ca.Issue({"localhost"}));
  CHttpTestServer wrongName(ca.Issue({"elsewhere.example"}));
  CHttpTestServer unknown(stranger.Issue({"localhost"}));
  CHttpTestServer expired(
      ca.Issue({"localhost"}, std::chrono::hours(-48), std::chrono::hours(-24)));
  for (CHttpTestServer* s : {&good, &wrongName, &unknown, &expired}) {
    s->Serve("/", HttpTestResponse::Text(200, "tls"));
  }
  ::setenv("ZVNET_CA_FILE", ca.CaFile().c_str(), 1);
  auto fetch = [](CHttpTestServer& server, DWORD extra, DWORD& error) {
    CAsyncClient client;
    client.Open("localhost", server.Port(), L"/", INTERNET_FLAG_SECURE | extra);
    bool ok = client.Send();
    error = client.error;
    return ok;
  };
  DWORD error = 0;
  EXPECT_TRUE(fetch(good, 0, error));
  EXPECT_FALSE(fetch(wrongName, 0, error));
  EXPECT_EQ(error, ERROR_INTERNET_SEC_CERT_CN_INVALID);
  EXPECT_FALSE(fetch(unknown, 0, error));
  EXPECT_EQ(error, ERROR_INTERNET_INVALID_CA);
  EXPECT_FALSE(fetch(expired, 0, error));
  EXPECT_EQ(error, ERROR_INTERNET_SEC_CERT_DATE_INVALID);
  EXPECT_TRUE(fetch(expired, INTERNET_FLAG_IGNORE_CERT_DATE_INVALID, error));
  ::unsetenv("ZVNET_CA_FILE");
}

TEST(WinInet, OpenUrlIsSynchronousAndAcceptsAnyStatus) {
  CHttpTestServer server;
  server.Serve("/missing", HttpTestResponse::Text(404, "no"));
  HINTERNET session = InternetOpenW(kAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
  HINTERNET url = InternetOpenUrlW(session, server.Url("/missing").c_str(), nullptr, 0,
                                   INTERNET_FLAG_RELOAD, 0);
  ASSERT_NE(url, nullptr);
  char text[16] = {};
  DWORD length = sizeof text;
  ASSERT_TRUE(HttpQueryInfoA(url, HTTP_QUERY_STATUS_CODE, text, &length, nullptr));
  EXPECT_STREQ(text, "404");
  InternetCloseHandle(url);
  EXPECT_EQ(InternetOpenUrlW(session, L"ftp://127.0.0.1/", nullptr, 0, 0, 0), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_UNRECOGNIZED_SCHEME);
  InternetCloseHandle(session);
}

TEST(WinInet, NamedHttpAndSocksProxiesCarryTheRequestWithCredentials) {
  CHttpTestServer server;
  server.Serve("/p", HttpTestResponse::Text(200, "via proxy"));
  auto http = CTestProxy::StartHttp("user", "secret");
  auto socks = CTestProxy::StartSocks5("user", "secret");
  ASSERT_TRUE(http && socks);
  for (const std::wstring& proxy : {W(http->HostPort()), L"SOCKS=" + W(socks->HostPort())}) {
    CAsyncClient client(INTERNET_OPEN_TYPE_PROXY, proxy.c_str());
    ASSERT_TRUE(client.Open("127.0.0.1", server.Port(), L"/p"));
    std::wstring user = L"user", password = L"secret";
    ASSERT_TRUE(InternetSetOptionW(client.request, INTERNET_OPTION_PROXY_USERNAME, user.data(),
                                   static_cast<DWORD>(user.size())));
    ASSERT_TRUE(InternetSetOptionW(client.request, INTERNET_OPTION_PROXY_PASSWORD, password.data(),
                                   static_cast<DWORD>(password.size())));
    ASSERT_TRUE(client.Send()) << "proxy " << std::string(proxy.begin(), proxy.end());
    std::string body;
    ASSERT_TRUE(client.ReadAll(body));
    EXPECT_EQ(body, "via proxy");
  }
  EXPECT_EQ(server.RequestCount(), 2u);
  // Without credentials the HTTP proxy refuses the request itself.
  CAsyncClient refused(INTERNET_OPEN_TYPE_PROXY, W(http->HostPort()).c_str());
  ASSERT_TRUE(refused.Open("127.0.0.1", server.Port(), L"/p"));
  ASSERT_TRUE(refused.Send());
  EXPECT_EQ(refused.Status(), 407);
}

}  // namespace
