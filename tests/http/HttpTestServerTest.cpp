// The test server's negative controls, checked with plain libcurl: an expired certificate, a
// listener that never completes a connect and an upload that is never read must really fail
// here, or the library tests that rely on them would pass without testing anything. What the
// server answers otherwise is checked by every HTTP test through the library.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/support/BlackHoleListener.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tools/HttpTestServer.h"

namespace {

struct Fetched {
  CURLcode result = CURLE_OK;
  std::string body;
  double connectSeconds = -1;
};

size_t Append(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

// One request with libcurl on a handle of its own; `configure` adds options.
Fetched Fetch(const std::string& url, const std::function<void(CURL*)>& configure = {}) {
  Fetched out;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROXY, "");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out.body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
  if (configure) configure(curl);
  out.result = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME, &out.connectSeconds);
  curl_easy_cleanup(curl);
  return out;
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
  Fetched got = Fetch("http://127.0.0.1:" + std::to_string(hole.Port()) + "/",
                      [](CURL* c) { curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, 300L); });
  EXPECT_EQ(got.result, CURLE_OPERATION_TIMEDOUT);
  EXPECT_EQ(got.connectSeconds, 0.0);
}

TEST(HttpTestServer, StalledUploadIsRecordedButNeverAnswered) {
  CHttpTestServer server;
  server.StallOnRequestBody("/up");
  std::string body(64 * 1024 * 1024, 'u');
  Fetched got = Fetch(server.Origin() + "/up", [&](CURL* c) {
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 500L);
  });
  EXPECT_EQ(got.result, CURLE_OPERATION_TIMEDOUT);
  ASSERT_EQ(server.RequestCount(), 1u);
  EXPECT_EQ(server.Requests()[0].method, "POST");
  EXPECT_TRUE(server.Requests()[0].body.empty());
}

}  // namespace
