// The scripted test server, checked with plain libcurl so that the HTTP tests can trust it.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support/BlackHoleListener.h"
#include "tests/support/HttpTestResource.h"
#include "tests/support/HttpTestServer.h"
#include "tests/support/TestCertificateAuthority.h"

namespace {

struct Fetched {
  CURLcode result = CURLE_OK;
  long status = 0;
  std::string headers;
  std::string body;
};

size_t Append(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

// One GET (or POST with `post`) with libcurl; `configure` adds options.
template <typename Configure>
Fetched Fetch(CURL* curl, const std::string& url, Configure configure) {
  Fetched out;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out.body);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &out.headers);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
  configure(curl);
  out.result = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &out.status);
  return out;
}

// The same on a handle of its own, so no connection is reused.
Fetched Fetch(const std::string& url, const std::function<void(CURL*)>& configure = {}) {
  CURL* curl = curl_easy_init();
  Fetched out = Fetch(curl, url, [&](CURL* c) {
    if (configure) configure(c);
  });
  curl_easy_cleanup(curl);
  return out;
}

TEST(HttpTestServer, AnswersExactlyAsScriptedAndRecordsRequests) {
  CHttpTestServer server;
  server.Serve("/a", HttpTestResponse::Text(201, "hello").With("Server", "QMR").With("X-A", "1"));
  Fetched got = Fetch(server.Origin() + "/a?q=1");
  EXPECT_EQ(got.result, CURLE_OK);
  EXPECT_EQ(got.status, 201);
  EXPECT_EQ(got.body, "hello");
  EXPECT_NE(got.headers.find("Server: QMR\r\n"), std::string::npos);
  EXPECT_EQ(Fetch(server.Origin() + "/none").status, 404);
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/a?q=1");
  EXPECT_EQ(requests[0].path, "/a");
  EXPECT_FALSE(requests[0].Header("host").empty());
}

TEST(HttpTestServer, KeepsConnectionsAliveUnlessToldToClose) {
  CHttpTestServer server;
  server.Serve("/k", HttpTestResponse::Text(200, "k"));
  HttpTestResponse closing = HttpTestResponse::Text(200, "c");
  closing.closeConnection = true;
  server.Serve("/c", closing);
  CURL* curl = curl_easy_init();
  auto none = [](CURL*) {};
  Fetch(curl, server.Origin() + "/k", none);
  Fetch(curl, server.Origin() + "/k", none);
  EXPECT_EQ(server.ConnectionCount(), 1);
  Fetch(curl, server.Origin() + "/c", none);
  Fetch(curl, server.Origin() + "/k", none);
  EXPECT_EQ(server.ConnectionCount(), 2);
  curl_easy_cleanup(curl);
  EXPECT_EQ(server.Requests()[3].connection, 2);
}

TEST(HttpTestServer, LyingLengthAndEarlyCloseCutTheBody) {
  CHttpTestServer server;
  HttpTestResponse lie = HttpTestResponse::Text(200, std::string(900, 'x'));
  lie.contentLength = 1000;
  server.Serve("/lie", lie);
  HttpTestResponse cut = HttpTestResponse::Text(200, std::string(500, 'y'));
  cut.closeAfterBodyBytes = 100;
  server.Serve("/cut", cut);
  HttpTestResponse unknown = HttpTestResponse::Text(200, "until close");
  unknown.omitContentLength = true;
  server.Serve("/unknown", unknown);

  Fetched lied = Fetch(server.Origin() + "/lie");
  EXPECT_EQ(lied.result, CURLE_PARTIAL_FILE);
  EXPECT_EQ(lied.body.size(), 900u);
  Fetched cutShort = Fetch(server.Origin() + "/cut");
  EXPECT_EQ(cutShort.result, CURLE_PARTIAL_FILE);
  EXPECT_EQ(cutShort.body.size(), 100u);
  Fetched whole = Fetch(server.Origin() + "/unknown");
  EXPECT_EQ(whole.result, CURLE_OK);
  EXPECT_EQ(whole.body, "until close");
  EXPECT_EQ(whole.headers.find("Content-Length"), std::string::npos);
}

TEST(HttpTestServer, ResourceHonoursRangeAndIfModifiedSince) {
  CHttpTestServer server;
  const time_t modified = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  server.Handle("/r", CHttpTestResource("0123456789", modified));
  CURL* curl = curl_easy_init();
  Fetched part = Fetch(curl, server.Origin() + "/r",
                       [](CURL* c) { curl_easy_setopt(c, CURLOPT_RANGE, "4-"); });
  EXPECT_EQ(part.status, 206);
  EXPECT_EQ(part.body, "456789");
  Fetched past = Fetch(curl, server.Origin() + "/r",
                       [](CURL* c) { curl_easy_setopt(c, CURLOPT_RANGE, "10-"); });
  EXPECT_EQ(past.status, 416);
  curl_slist* since =
      curl_slist_append(nullptr, "If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT");
  Fetched same = Fetch(curl, server.Origin() + "/r", [&](CURL* c) {
    curl_easy_setopt(c, CURLOPT_RANGE, nullptr);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, since);
  });
  EXPECT_EQ(same.status, 304);
  curl_easy_cleanup(curl);
  curl_slist_free_all(since);
  EXPECT_EQ(CHttpTestResource::FormatHttpDate(modified), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_NE(Fetch(server.Origin() + "/r").headers.find("Last-Modified: Sun, 06 Nov 1994"),
            std::string::npos);
}

// An expired certificate that did not fail here would make the library's tolerance of
// expired certificates untested.
TEST(HttpTestServer, TlsWithTheTestAuthority) {
  CTestCertificateAuthority ca;
  CHttpTestServer good(ca.Issue({"localhost", "127.0.0.1"}));
  CHttpTestServer expired(
      ca.Issue({"localhost"}, std::chrono::hours(-48), std::chrono::hours(-24)));
  good.Serve("/t", HttpTestResponse::Text(200, "secret"));
  auto trusting = [&](CURL* c) { curl_easy_setopt(c, CURLOPT_CAINFO, ca.CaFile().c_str()); };
  Fetched ok = Fetch(good.Origin("localhost") + "/t", trusting);
  EXPECT_EQ(ok.result, CURLE_OK);
  EXPECT_EQ(ok.body, "secret");
  EXPECT_EQ(Fetch(good.Origin("localhost") + "/t").result, CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_EQ(Fetch(expired.Origin("localhost") + "/t", trusting).result,
            CURLE_PEER_FAILED_VERIFICATION);
}

TEST(HttpTestServer, BlackHoleNeverCompletesAConnect) {
  CBlackHoleListener hole;
  CURL* curl = curl_easy_init();
  Fetched got = Fetch(curl, "http://127.0.0.1:" + std::to_string(hole.Port()) + "/",
                      [](CURL* c) { curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, 300L); });
  EXPECT_EQ(got.result, CURLE_OPERATION_TIMEDOUT);
  double connectTime = -1;
  curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME, &connectTime);
  EXPECT_EQ(connectTime, 0.0);
  curl_easy_cleanup(curl);
}

TEST(HttpTestServer, StalledUploadIsRecordedButNeverAnswered) {
  CHttpTestServer server;
  server.StallOnRequestBody("/up");
  CURL* curl = curl_easy_init();
  std::string body(64 * 1024 * 1024, 'u');
  Fetched got = Fetch(curl, server.Origin() + "/up", [&](CURL* c) {
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 500L);
  });
  EXPECT_EQ(got.result, CURLE_OPERATION_TIMEDOUT);
  ASSERT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(server.Requests()[0].method, "POST");
  EXPECT_TRUE(server.Requests()[0].body.empty());
  curl_easy_cleanup(curl);
}

}  // namespace
