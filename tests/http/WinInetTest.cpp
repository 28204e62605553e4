// The WinINet stand-in on libcurl, driven through its WinINet calls as the HTTP task drives
// it: asynchronous sessions completing through status 100, statuses in real time, the
// server's cookies, and a close during a pending read. Redirects, pooled connections, proxies,
// TLS and uploads are covered through the exports.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/Event.h"
#include "platform/win32/MessageWindow.h"
#include "platform/wininet/WinInet.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TestBytes.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tools/HttpTestResource.h"
#include "tools/HttpTestServer.h"

namespace {

constexpr wchar_t kAgent[] = L"Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)";

// What the status callback saw for one asynchronous client, and its completion event.
class CStatusLog {
 public:
  static void Callback(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD) {
    auto* self = reinterpret_cast<CStatusLog*>(context);
    std::lock_guard guard(self->mutex);
    self->statuses.push_back(status);
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
  DWORD_PTR Context() { return reinterpret_cast<DWORD_PTR>(this); }

  std::mutex mutex;
  std::vector<DWORD> statuses;
  INTERNET_ASYNC_RESULT last{};
  CEvent complete{CEvent::ResetMode::kManual};
};

// One asynchronous session, connection and request set, closed at the end.
class CAsyncClient {
 public:
  CAsyncClient() {
    session =
        InternetOpenW(kAgent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    InternetSetStatusCallbackW(session, &CStatusLog::Callback);
  }
  ~CAsyncClient() {
    if (request) InternetCloseHandle(request);
    if (connection) InternetCloseHandle(connection);
    InternetCloseHandle(session);
  }

  bool Open(INTERNET_PORT port, const std::wstring& object, const wchar_t* verb = L"GET",
            const wchar_t* user = nullptr, const wchar_t* password = nullptr,
            const wchar_t* referrer = L"", DWORD flags = INTERNET_FLAG_RELOAD) {
    connection = InternetConnectW(session, L"127.0.0.1", port, user, password,
                                  INTERNET_SERVICE_HTTP, 0, log.Context());
    const wchar_t* accept[] = {L"*/*", nullptr};
    request = HttpOpenRequestW(connection, verb, object.c_str(), L"HTTP/1.1", referrer, accept,
                               flags, log.Context());
    return connection && request;
  }

  // Sends and waits for the answer's head; true when it arrived.
  bool Send(std::string body = "") {
    if (HttpSendRequestW(request, L"", 0, body.empty() ? nullptr : body.data(),
                         static_cast<DWORD>(body.size()))) {
      return true;
    }
    return GetLastError() == ERROR_IO_PENDING && log.Wait().dwResult != 0;
  }

  // Sends `sent`, then reads the whole answer into `body`; false when either step fails.
  bool Exchange(std::string& body, std::string sent = "") {
    return Send(std::move(sent)) && ReadAll(body);
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
      readSizes.push_back(out.dwBufferLength);
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

  CStatusLog log;
  std::vector<DWORD> readSizes;  // of each read that delivered bytes
  HINTERNET session = nullptr;
  HINTERNET connection = nullptr;
  HINTERNET request = nullptr;
};

TEST(WinInet, AsyncDownloadReportsStatusesInOrderAndDeliversTheBody) {
  CHttpTestServer server;
  const std::string content = TestBytes(3 * 1024 * 1024 + 17);
  server.Handle("/big", CHttpTestResource(content));
  CAsyncClient client;
  ASSERT_TRUE(client.Open(server.Port(), L"/big"));
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

// As with WinINet, a read waits until its buffer is full: a body arriving in two pieces with
// a pause between them still comes in whole buffers, and only the last read is short.
TEST(WinInet, ReadFillsItsBufferUnlessTheBodyEnds) {
  constexpr size_t kFirstPiece = 64 * 1024;  // what the server sends before its pause
  CHttpTestServer server;
  HttpTestResponse pieces;
  pieces.generatedLength = 100 * 1024;
  pieces.generator = [](uint64_t offset, char* out, size_t length) {
    if (offset >= kFirstPiece) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<char>((offset + i) % 251);
  };
  server.Serve("/pieces", pieces);
  CAsyncClient client;
  ASSERT_TRUE(client.Open(server.Port(), L"/pieces"));
  ASSERT_TRUE(client.Send());
  std::string body;
  ASSERT_TRUE(client.ReadAll(body, 48 * 1024));
  ASSERT_EQ(body.size(), 100u * 1024);
  for (size_t i = 0; i < body.size(); ++i) {
    ASSERT_EQ(body[i], static_cast<char>(i % 251)) << "byte " << i;
  }
  EXPECT_EQ(client.readSizes, (std::vector<DWORD>{48 * 1024, 48 * 1024, 4 * 1024}));
}

TEST(WinInet, CookiesSetForAUrlAndBySeversReachLaterRequests) {
  CHttpTestServer server;
  server.Serve("/set",
               HttpTestResponse::Text(200, "").With("Set-Cookie", "fromServer=yes; Path=/"));
  server.Serve("/echo", HttpTestResponse::Text(200, ""));
  ASSERT_TRUE(InternetSetCookieW(server.Url("/echo").c_str(), L"mine", L"42"));
  for (const wchar_t* path : {L"/set", L"/echo"}) {
    CAsyncClient client;
    ASSERT_TRUE(client.Open(server.Port(), path));
    std::string body;
    ASSERT_TRUE(client.Exchange(body));
  }
  std::string cookies = server.Requests()[1].Header("Cookie");
  EXPECT_NE(cookies.find("mine=42"), std::string::npos) << cookies;
  EXPECT_NE(cookies.find("fromServer=yes"), std::string::npos) << cookies;
}

// Nothing of one request may reach the next.
TEST(WinInet, NothingOfAFinishedRequestReachesTheNext) {
  CHttpTestServer server;
  server.Serve("/first", HttpTestResponse::Text(200, "first"));
  server.Serve("/second", HttpTestResponse::Text(200, "second"));
  {
    CAsyncClient first;
    ASSERT_TRUE(first.Open(server.Port(), L"/first", L"PUT", L"user", L"secret", L"http://from/"));
    const std::wstring extra = L"X-First: 1\r\nRange: bytes=2-\r\n";
    ASSERT_TRUE(HttpAddRequestHeadersW(first.request, extra.c_str(),
                                       static_cast<DWORD>(extra.size()), HTTP_ADDREQ_FLAG_ADD));
    std::string body;
    ASSERT_TRUE(first.Exchange(body, "form=1"));
  }
  CAsyncClient second;
  ASSERT_TRUE(second.Open(server.Port(), L"/second"));
  std::string body;
  ASSERT_TRUE(second.Exchange(body));
  EXPECT_EQ(body, "second");
  const std::vector<HttpTestRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "PUT");
  EXPECT_EQ(requests[0].Header("X-First"), "1");
  EXPECT_EQ(requests[0].Header("Referer"), "http://from/");
  EXPECT_TRUE(requests[0].HasHeader("Authorization"));
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].body, "");
  EXPECT_FALSE(requests[1].HasHeader("X-First"));
  EXPECT_FALSE(requests[1].HasHeader("Range"));
  EXPECT_FALSE(requests[1].HasHeader("Content-Length"));
  EXPECT_FALSE(requests[1].HasHeader("Referer"));
  EXPECT_FALSE(requests[1].HasHeader("Authorization"));
}

// A 303 turns a POST into a GET without its body; credentials follow redirects on their own
// host only.
TEST(WinInet, RedirectsDropTheBodyOnA303AndCredentialsOnAnotherHost) {
  CHttpTestServer server;
  const std::string elsewhere = "http://localhost:" + std::to_string(server.Port()) + "/other";
  server.Serve("/post", HttpTestResponse::Redirect(303, "/same"));
  server.Serve("/same", HttpTestResponse::Redirect(302, elsewhere));
  server.Serve("/other", HttpTestResponse::Text(200, "done"));
  CAsyncClient client;
  ASSERT_TRUE(client.Open(server.Port(), L"/post", L"POST", L"user", L"secret"));
  std::string body;
  ASSERT_TRUE(client.Exchange(body, "form=1"));
  EXPECT_EQ(body, "done");
  const std::vector<HttpTestRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].body, "form=1");
  EXPECT_TRUE(requests[0].HasHeader("Authorization"));
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].path, "/same");
  EXPECT_EQ(requests[1].body, "");
  EXPECT_TRUE(requests[1].HasHeader("Authorization"));
  EXPECT_EQ(requests[2].path, "/other");
  EXPECT_EQ(requests[2].Header("Host").rfind("localhost:", 0), 0u);
  EXPECT_FALSE(requests[2].HasHeader("Authorization"));
}

// A redirect from https down to http is followed only when the request's flags allow it;
// otherwise the request fails and nothing reaches the http server.
TEST(WinInet, RedirectFromHttpsToHttpNeedsTheFlagThatAllowsIt) {
  CTestCertificateAuthority ca;
  CScopedEnv trust("ZVNET_CA_FILE", ca.CaFile());
  CHttpTestServer plain;
  plain.Serve("/landing", HttpTestResponse::Text(200, "plain"));
  CHttpTestServer secure(ca.Issue({"127.0.0.1"}));
  secure.Serve("/login", HttpTestResponse::Redirect(302, plain.Origin() + "/landing"));
  for (DWORD allow : {0u, INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP}) {
    CAsyncClient client;
    ASSERT_TRUE(client.Open(secure.Port(), L"/login", L"GET", nullptr, nullptr, L"",
                            INTERNET_FLAG_SECURE | allow));
    std::string body;
    EXPECT_EQ(client.Exchange(body), allow != 0);
    EXPECT_EQ(body, allow ? "plain" : "");
    if (!allow) {
      EXPECT_EQ(client.log.last.dwError, ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR);
    }
    EXPECT_EQ(plain.RequestCount(), allow ? 1u : 0u);
  }
  EXPECT_EQ(secure.RequestCount(), 2u);
}

// A folded line cannot open an answer's headers: after a redirect, such an answer is refused
// like any malformed one, and nothing of the previous answer's headers is touched.
TEST(WinInet, AnswerOpeningWithAFoldedLineAfterARedirectIsRefused) {
  CHttpTestServer server;
  server.Serve("/from",
               HttpTestResponse::Redirect(302, "/to").With("X-Before", std::string(40, 'v')));
  server.Serve("/to", HttpTestResponse::Text(200, "body").With(" folded", std::string(40, 'w')));
  CAsyncClient client;
  ASSERT_TRUE(client.Open(server.Port(), L"/from"));
  EXPECT_FALSE(client.Send());
  ASSERT_EQ(server.Requests().size(), 2u);
  EXPECT_EQ(server.Requests()[1].path, "/to");
}

TEST(WinInet, CloseEndsAPendingReadAndNothingIsReportedAfterwards) {
  CHttpTestServer server;
  HttpTestResponse slow = HttpTestResponse::Text(200, std::string(100, 's'));
  slow.delayBeforeBody = std::chrono::seconds(30);
  server.Serve("/slow", slow);
  CAsyncClient client;
  ASSERT_TRUE(client.Open(server.Port(), L"/slow"));
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

}  // namespace
