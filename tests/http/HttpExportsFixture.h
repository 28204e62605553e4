// A host of the ZvHttp exports for tests: Init, one worker and a test server per test, torn
// down after it, and helpers that queue transfers whose callbacks go to a CHttpCallbackLog.
#ifndef ZVNET_TESTS_HTTP_HTTPEXPORTSFIXTURE_H_
#define ZVNET_TESTS_HTTP_HTTPEXPORTSFIXTURE_H_

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/HttpCallbackLog.h"
#include "tests/support/Pump.h"
#include "tools/HttpTestServer.h"
#include "zvnet/zvhttp.h"

class HttpExportsTest : public ::testing::Test {
 protected:
  static constexpr size_t kQuickSize = 1 << 20;
  static constexpr size_t kPauseAfter = 64 * 1024;

  void SetUp() override {
    server.Serve("/quick", HttpTestResponse::Text(200, QuickBody()));
    HttpTestResponse hang;
    hang.neverAnswer = true;
    server.Serve("/hang", hang);
    HttpTestResponse pause;  // the first 64 KiB at once, the rest when the test ends
    pause.generatedLength = 4 * kPauseAfter;
    pause.generator = [release = releasePause](uint64_t offset, char* out, size_t length) {
      const auto end = std::chrono::steady_clock::now() + 20s;  // a left server still stops
      while (offset >= kPauseAfter && !*release && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(5ms);
      }
      std::fill_n(out, length, 'p');
    };
    server.Serve("/pause", pause);
    ASSERT_EQ(ZvHttp::Init(), 0);
    ASSERT_EQ(ZvHttp::CreateWorker(&worker), 0);
  }
  void TearDown() override {
    *releasePause = true;
    if (initialised) ZvHttp::Uninit();
  }

  // 1 MiB answered at once; a request never answered; one refused before it starts.
  std::wstring QuickUrl() const { return server.Url("/quick"); }
  std::wstring SlowUrl() const { return server.Url("/hang"); }
  static std::wstring UnusableUrl() { return L"ftp://127.0.0.1/file"; }
  static std::string QuickBody() {
    std::string body(kQuickSize, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 % 253);
    return body;
  }

  // Queues a download of `url` into memory, on `onWorker` (default: the fixture's).
  long Fetch(const std::wstring& url, CHttpCallbackLog& log, unsigned timeoutMs, int* taskId,
             int onWorker = 0) {
    tagDefHttpPar par = HttpPar(url);
    return ZvHttp::DownloadInMem(&par, CHttpCallbackLog::Callback, timeoutMs, taskId, log.Param(),
                                 onWorker ? onWorker : worker);
  }
  // Queues a download of `url` into the file `path`, resumed at `offset` or conditional.
  long FetchFile(const std::wstring& url, const std::wstring& path, CHttpCallbackLog& log,
                 int* taskId, unsigned long offset = 0, SYSTEMTIME* since = nullptr) {
    tagDefHttpPar par = HttpPar(url);
    return ZvHttp::DownloadInFileEx(&par, path, since, offset, CHttpCallbackLog::Callback, 20000,
                                    taskId, log.Param(), worker);
  }
  bool PumpUntilDone(const CHttpCallbackLog& log, int taskId,
                     std::chrono::milliseconds deadline = 15s) {
    return PumpUntil([&] { return log.HasTerminal(taskId); }, deadline);
  }
  // A download into memory, waited for: the terminal event.
  HttpEvent FetchAndWait(tagDefHttpPar par, CHttpCallbackLog& log) {
    int id = 0;
    EXPECT_EQ(
        ZvHttp::DownloadInMem(&par, CHttpCallbackLog::Callback, 20000, &id, log.Param(), worker),
        0);
    EXPECT_TRUE(PumpUntilDone(log, id));
    return log.Terminal(id);
  }
  HttpEvent FetchAndWait(const std::wstring& url, CHttpCallbackLog& log) {
    return FetchAndWait(HttpPar(url), log);
  }

  // Declared before the server, so it outlives the server's threads.
  std::shared_ptr<std::atomic<bool>> releasePause = std::make_shared<std::atomic<bool>>(false);
  CHttpCallbackLog log;
  CHttpTestServer server;
  int worker = 0;
  bool initialised = true;  // cleared by tests that end the family themselves
};

#endif  // ZVNET_TESTS_HTTP_HTTPEXPORTSFIXTURE_H_
