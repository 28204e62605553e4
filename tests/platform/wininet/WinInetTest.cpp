// The WinINet stand-in on libcurl, driven through its WinINet calls as the HTTP task drives
// it, for what the exports cannot show: full reads, nothing carried between requests, a 303
// and Last-Modified as SYSTEMTIME.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/Event.h"
#include "platform/win32/MessageWindow.h"  // GetLastError
#include "platform/wininet/WinInet.h"
#include "tools/HttpTestResource.h"
#include "tools/HttpTestServer.h"

namespace {

// One asynchronous session, connection and request, closed at the end.
class CAsyncClient {
 public:
  CAsyncClient() {
    session = InternetOpenW(L"Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)",
                            INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, INTERNET_FLAG_ASYNC);
    InternetSetStatusCallbackW(session, &Callback);
  }
  ~CAsyncClient() {
    if (request) InternetCloseHandle(request);
    if (connection) InternetCloseHandle(connection);
    InternetCloseHandle(session);
  }

  bool Open(INTERNET_PORT port, const std::wstring& object, const wchar_t* verb = L"GET",
            DWORD flags = INTERNET_FLAG_RELOAD) {
    const auto context = reinterpret_cast<DWORD_PTR>(this);
    connection = InternetConnectW(session, L"127.0.0.1", port, nullptr, nullptr,
                                  INTERNET_SERVICE_HTTP, 0, context);
    const wchar_t* accept[] = {L"*/*", nullptr};
    request = HttpOpenRequestW(connection, verb, object.c_str(), L"HTTP/1.1", L"", accept, flags,
                               context);
    return connection && request;
  }
  // Sends `sent` and waits for the answer's head; true when it arrived.
  bool Send(std::string sent = "") {
    if (HttpSendRequestW(request, L"", 0, sent.empty() ? nullptr : sent.data(),
                         static_cast<DWORD>(sent.size()))) {
      return true;
    }
    return GetLastError() == ERROR_IO_PENDING && Wait().dwResult != 0;
  }
  // Reads the whole body into `body` in reads of `chunk`; false on a failed read.
  bool ReadAll(std::string& body, DWORD chunk = 32768) {
    std::string buffer(chunk, '\0');
    for (;;) {
      INTERNET_BUFFERSA out{};
      out.dwStructSize = sizeof out;
      out.lpvBuffer = buffer.data();
      out.dwBufferLength = chunk;
      if (!InternetReadFileExA(request, &out, IRF_SYNC, reinterpret_cast<DWORD_PTR>(this)) &&
          (GetLastError() != ERROR_IO_PENDING || !Wait().dwResult)) {
        return false;
      }
      if (out.dwBufferLength == 0) return true;
      readSizes.push_back(out.dwBufferLength);
      body.append(buffer.data(), out.dwBufferLength);
    }
  }
  bool Exchange(std::string& body, std::string sent = "") {
    return Send(std::move(sent)) && ReadAll(body);
  }

  HINTERNET session = nullptr, connection = nullptr, request = nullptr;
  std::vector<DWORD> readSizes;  // of each read that delivered bytes

 private:
  static void Callback(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD) {
    auto* self = reinterpret_cast<CAsyncClient*>(context);
    std::lock_guard guard(self->mutex);
    if (status == INTERNET_STATUS_REQUEST_COMPLETE) {
      self->last = *static_cast<INTERNET_ASYNC_RESULT*>(info);
      self->complete.Set();
    }
  }
  INTERNET_ASYNC_RESULT Wait() {
    EXPECT_EQ(complete.Wait(10000), WAIT_OBJECT_0) << "no REQUEST_COMPLETE";
    complete.Reset();
    std::lock_guard guard(mutex);
    return last;
  }

  std::mutex mutex;  // guards last
  INTERNET_ASYNC_RESULT last{};
  CEvent complete{CEvent::ResetMode::kManual};
};

// As with WinINet, a read waits until its buffer is full: a body arriving in two pieces with
// a pause between them still comes in whole buffers, and only the last read is short.
TEST(WinInetTest, ReadFillsItsBufferUnlessTheBodyEnds) {
  CHttpTestServer server;
  HttpTestResponse pieces;
  pieces.generatedLength = 100 * 1024;
  pieces.generator = [](uint64_t offset, char* out, size_t length) {
    if (offset >= 64 * 1024) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<char>((offset + i) % 251);
  };
  server.Serve("/pieces", pieces);
  CAsyncClient client;
  ASSERT_TRUE(client.Open(server.Port(), L"/pieces"));
  ASSERT_TRUE(client.Send());
  std::string body;
  ASSERT_TRUE(client.ReadAll(body, 48 * 1024));
  ASSERT_EQ(body.size(), 100u * 1024);
  for (size_t i = 0; i < body.size(); ++i) ASSERT_EQ(body[i], static_cast<char>(i % 251)) << i;
  EXPECT_EQ(client.readSizes, (std::vector<DWORD>{48 * 1024, 48 * 1024, 4 * 1024}));
}

// Nothing of one request (verb, body, headers) reaches the next.
TEST(WinInetTest, NothingOfAFinishedRequestReachesTheNext) {
  CHttpTestServer server;
  server.Serve("/first", HttpTestResponse::Text(200, ""));
  server.Serve("/second", HttpTestResponse::Text(200, "second"));
  std::string body;
  {
    CAsyncClient first;
    ASSERT_TRUE(first.Open(server.Port(), L"/first", L"PUT"));
    const std::wstring extra = L"X-First: 1\r\nRange: bytes=2-\r\n";
    ASSERT_TRUE(HttpAddRequestHeadersW(first.request, extra.c_str(),
                                       static_cast<DWORD>(extra.size()), HTTP_ADDREQ_FLAG_ADD));
    ASSERT_TRUE(first.Exchange(body, "form=1"));
  }
  CAsyncClient second;
  ASSERT_TRUE(second.Open(server.Port(), L"/second"));
  ASSERT_TRUE(second.Exchange(body));
  const std::vector<HttpTestRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  for (const HttpTestRequest& request : requests) {
    EXPECT_EQ(request.method + request.body + request.Header("X-First") + request.Header("Range"),
              &request == &requests[0] ? "PUTform=11bytes=2-" : "GET");
  }
}

// A 303 turns a POST into a GET without its body.
TEST(WinInetTest, A303TurnsAPostIntoAGetWithoutItsBody) {
  CHttpTestServer server;
  server.Serve("/post", HttpTestResponse::Redirect(303, "/same"));
  server.Serve("/same", HttpTestResponse::Text(200, "done"));
  CAsyncClient client;
  ASSERT_TRUE(client.Open(server.Port(), L"/post", L"POST"));
  std::string body;
  ASSERT_TRUE(client.Exchange(body, "form=1"));
  EXPECT_EQ(body, "done");
  const std::vector<HttpTestRequest> requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method + requests[0].body, "POSTform=1");
  EXPECT_EQ(requests[1].method + requests[1].path + requests[1].body, "GET/same");
}

}  // namespace

// Last-Modified as SYSTEMTIME: the fixed form servers send, read by the stand-in's own reader,
// gives what the general date parser gives for the same moment (other forms, and dates the
// fixed reader refuses, go to that parser).
TEST(WinInetTest, LastModifiedReadsAsTheSameMomentInEveryForm) {
  struct Row {
    const char* header;
    uint16_t year, month, day, weekday, hour, minute, second;
  };
  const Row rows[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 1994, 11, 6, 0, 8, 49, 37},
      {"Sunday, 06-Nov-94 08:49:37 GMT", 1994, 11, 6, 0, 8, 49, 37},
      {"Sun Nov  6 08:49:37 1994", 1994, 11, 6, 0, 8, 49, 37},
      {"Thu, 29 Feb 2024 23:59:59 GMT", 2024, 2, 29, 4, 23, 59, 59},
      {"Fri, 01 Mar 2024 00:00:00 GMT", 2024, 3, 1, 5, 0, 0, 0},
      {"Thu, 01 Jan 1970 00:00:00 GMT", 1970, 1, 1, 4, 0, 0, 0},
      {"Fri, 31 Dec 2399 12:00:00 GMT", 2399, 12, 31, 5, 12, 0, 0},
      {"Mon, 01 Mar 2100 06:07:08 GMT", 2100, 3, 1, 1, 6, 7, 8},
      {"sun, 06 nov 1994 08:49:37 gmt", 1994, 11, 6, 0, 8, 49, 37},
  };
  CHttpTestServer server;
  for (size_t i = 0; i < std::size(rows); ++i) {
    server.Serve("/" + std::to_string(i),
                 HttpTestResponse::Text(200, "").With("Last-Modified", rows[i].header));
  }
  for (size_t i = 0; i < std::size(rows); ++i) {
    CAsyncClient client;
    ASSERT_TRUE(client.Open(server.Port(), L"/" + std::to_wstring(i)));
    ASSERT_TRUE(client.Send());
    SYSTEMTIME got{};
    DWORD size = sizeof got;
    ASSERT_TRUE(HttpQueryInfoW(client.request,
                               HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME, &got, &size,
                               nullptr))
        << rows[i].header;
    const Row& want = rows[i];
    EXPECT_EQ(std::vector<uint16_t>({got.wYear, got.wMonth, got.wDay, got.wDayOfWeek, got.wHour,
                                     got.wMinute, got.wSecond, got.wMilliseconds}),
              std::vector<uint16_t>({want.year, want.month, want.day, want.weekday, want.hour,
                                     want.minute, want.second, 0}))
        << want.header;
  }
}
