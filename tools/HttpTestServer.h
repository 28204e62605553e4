// An in-process HTTP/1.1 server on 127.0.0.1 that each test, and the demo, scripts path by
// path; CHttpTestResource and CHttpUploadDigest are ready-made handlers.
//
//   CHttpTestServer server;
//   server.Handle("/a", [](const HttpTestRequest&) { return HttpTestResponse::Text(200, "hi"); });
//   download(server.Url("/a"));
//   EXPECT_EQ(server.Requests()[0].Header("Range"), "bytes=10-");
//
// Threads: one accepting thread and one thread per connection; handlers run on connection
// threads. Requests(), Handle() and the counters may be called from any thread. The
// destructor closes every connection (also those held by neverAnswer or a stall) and joins
// all threads. Paths without a handler answer 404.
//
// Handlers and the generators they return keep running until that join, also after a test
// body has returned while a body was still trickling to a client that left. Whatever they
// read must outlive the server: capture it by value or shared_ptr, or declare it before the
// server (a fixture's server is destroyed after the test body's locals).
#ifndef ZVNET_TOOLS_HTTPTESTSERVER_H_
#define ZVNET_TOOLS_HTTPTESTSERVER_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tools/HttpTestMessage.h"

class CHttpTestServer {
 public:
  // Plain HTTP on a free port of 127.0.0.1. Both throw std::runtime_error when the server
  // cannot listen.
  CHttpTestServer();
  // HTTPS with this certificate and key.
  explicit CHttpTestServer(const TestTlsIdentity& identity);
  ~CHttpTestServer();
  CHttpTestServer(const CHttpTestServer&) = delete;
  CHttpTestServer& operator=(const CHttpTestServer&) = delete;

  // Answers requests whose path (without query) is exactly `path`; replaces an earlier one.
  void Handle(const std::string& path, HttpTestHandler handler);
  // Always answers `response` on `path`.
  void Serve(const std::string& path, HttpTestResponse response);
  // Requests to `path` are recorded once their head has arrived, then held: the body is never
  // read and no answer comes (an upload that the server stops taking in).
  void StallOnRequestBody(const std::string& path);

  uint16_t Port() const;
  // "http://127.0.0.1:<port>" or "https://<host>:<port>"; `host` defaults to 127.0.0.1.
  std::string Origin(const std::string& host = "127.0.0.1") const;
  // Origin + pathAndQuery, widened, as the library's requests take URLs.
  std::wstring Url(std::string_view pathAndQuery, const std::string& host = "127.0.0.1") const;

  // Every request received so far, in order of arrival.
  std::vector<HttpTestRequest> Requests() const;
  size_t RequestCount() const;
  // Drops the requests recorded so far, so that a soak's server does not grow with its rounds.
  void ForgetRequests();
  bool WaitForRequests(size_t count, std::chrono::milliseconds deadline) const;
  // Connections accepted so far (a keep-alive reuse does not add one).
  int ConnectionCount() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl;
};

#endif  // ZVNET_TOOLS_HTTPTESTSERVER_H_
