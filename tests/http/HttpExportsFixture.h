// A host of the ZvHttp exports for tests: Init and one worker per test, torn down after it,
// and helpers that queue transfers whose callbacks go to a CHttpCallbackLog.
#ifndef ZVNET_TESTS_HTTP_HTTPEXPORTSFIXTURE_H_
#define ZVNET_TESTS_HTTP_HTTPEXPORTSFIXTURE_H_

#include <gtest/gtest.h>

#include <string>

#include "tests/support/HttpCallbackLog.h"
#include "tests/support/Pump.h"
#include "zvnet/zvhttp.h"

class HttpExportsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ZvHttp::Init(), 0);
    ASSERT_EQ(ZvHttp::CreateWorker(&worker), 0);
  }
  void TearDown() override {
    if (initialised) ZvHttp::Uninit();
  }

  // Queues a download into memory of `url` on `onWorker` (the fixture's worker by default).
  long Fetch(const std::wstring& url, CHttpCallbackLog& log, unsigned timeoutMs, int* taskId,
             int onWorker = 0) {
    tagDefHttpPar par;
    par.url = url;
    return ZvHttp::DownloadInMem(&par, CHttpCallbackLog::Callback, timeoutMs, taskId, log.Param(),
                                 onWorker ? onWorker : worker);
  }
  // Waits, pumping this thread, for the terminal callback of `taskId`.
  bool PumpUntilDone(const CHttpCallbackLog& log, int taskId,
                     std::chrono::milliseconds deadline = 15s) {
    return PumpUntil([&] { return log.HasTerminal(taskId); }, deadline);
  }

  int worker = 0;
  bool initialised = true;  // cleared by tests that end the family themselves
};

#endif  // ZVNET_TESTS_HTTP_HTTPEXPORTSFIXTURE_H_
