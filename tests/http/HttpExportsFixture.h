// A host of the ZvHttp exports for tests: Init, one worker and a test server per test, torn
// down after it, and helpers that queue transfers whose callbacks go to a CHttpCallbackLog.
#ifndef ZVNET_TESTS_HTTP_HTTPEXPORTSFIXTURE_H_
#define ZVNET_TESTS_HTTP_HTTPEXPORTSFIXTURE_H_

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "tests/support/HttpCallbackLog.h"
#include "tests/support/Pump.h"
#include "tools/HttpTestServer.h"
#include "zvnet/zvhttp.h"

class HttpExportsTest : public ::testing::Test {
 protected:
  static constexpr size_t kQuickSize = 1 << 20;
  static constexpr size_t kPauseAfter = 64 * 1024;

  void SetUp() override;
  void TearDown() override;

  // 1 MiB answered at once: a transfer with a few dozen progress records.
  std::wstring QuickUrl() const { return server.Url("/quick"); }
  // The server takes the request and never answers: runs until stopped or timed out.
  std::wstring SlowUrl() const { return server.Url("/hang"); }
  // The first 64 KiB come at once, the rest only after the test ends.
  std::wstring PausingUrl() const { return server.Url("/pause"); }
  // Refused before it starts: the scheme is not HTTP.
  static std::wstring UnusableUrl() { return L"ftp://127.0.0.1/file"; }
  static std::string QuickBody();

  // Queues a download into memory of `url` (or `par`) on `onWorker` (default: the fixture's).
  long Fetch(const std::wstring& url, CHttpCallbackLog& log, unsigned timeoutMs, int* taskId,
             int onWorker = 0);
  long Fetch(tagDefHttpPar par, CHttpCallbackLog& log, unsigned timeoutMs, int* taskId,
             int onWorker = 0);
  // Queues a download of `url` into the file `path`: resumed at `offset`, or conditional on
  // `since`.
  long FetchFile(const std::wstring& url, const std::wstring& path, CHttpCallbackLog& log,
                 int* taskId, unsigned long offset = 0, SYSTEMTIME* since = nullptr);
  // Waits, pumping this thread, for the terminal callback of `taskId`.
  bool PumpUntilDone(const CHttpCallbackLog& log, int taskId,
                     std::chrono::milliseconds deadline = 15s);
  // Fetch (into memory) and PumpUntilDone: the terminal event.
  HttpEvent FetchAndWait(tagDefHttpPar par, CHttpCallbackLog& log);
  HttpEvent FetchAndWait(const std::wstring& url, CHttpCallbackLog& log);

  // Declared before the server, so it outlives the server's threads.
  std::shared_ptr<std::atomic<bool>> releasePause = std::make_shared<std::atomic<bool>>(false);
  CHttpTestServer server;
  int worker = 0;
  bool initialised = true;  // cleared by tests that end the family themselves
};

#endif  // ZVNET_TESTS_HTTP_HTTPEXPORTSFIXTURE_H_
