// Workers come and go while transfers run, and the family ends from inside a callback.
#include <gtest/gtest.h>

#include <atomic>
#include <iostream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/HttpCallbackLog.h"
#include "tests/support/Pump.h"
#include "tools/HttpTestServer.h"
#include "zvnet/zvhttp.h"
#include "zvnet/zvmsgloop.h"

namespace {

constexpr size_t kBody = 256 * 1024;

long Fetch(CHttpTestServer& server, CHttpCallbackLog& log, int worker, int* taskId,
           const char* path = "/body") {
  tagDefHttpPar par;
  par.url = server.Url(path);
  return ZvHttp::DownloadInMem(&par, CHttpCallbackLog::Callback, 30000, taskId, log.Param(),
                               worker);
}

}  // namespace

TEST(WorkerChurn, TwoHundredFiftySixWorkersComeAndGoWhileTransfersRun) {
  CHttpTestServer server;
  server.Serve("/body", HttpTestResponse::Text(200, std::string(kBody, 'b')));
  ASSERT_EQ(ZvHttp::Init(), 0);
  std::vector<int> stable(4);
  for (int& worker : stable) ASSERT_EQ(ZvHttp::CreateWorker(&worker), 0);

  std::atomic<bool> churned{false};
  std::vector<int> created;
  std::thread churn([&] {
    // Four rounds of 64: each round's workers all live at once, then all close.
    for (int round = 0; round < 4; ++round) {
      std::vector<int> batch(64);
      for (int& worker : batch) {
        EXPECT_EQ(ZvHttp::CreateWorker(&worker), 0);
        created.push_back(worker);
      }
      for (int worker : batch) EXPECT_EQ(ZvHttp::CloseWorker(worker), 0);
    }
    churned = true;
  });

  CHttpCallbackLog log;
  std::vector<int> tasks;
  size_t done = 0;
  while (!churned.load() || tasks.size() < 32) {
    while (tasks.size() - done < 8) {
      int taskId = 0;
      ASSERT_EQ(Fetch(server, log, stable[tasks.size() % stable.size()], &taskId), 0);
      tasks.push_back(taskId);
    }
    ZvMsgLoop::Pump(5);
    done = 0;
    for (int taskId : tasks) done += log.HasTerminal(taskId);
  }
  churn.join();
  EXPECT_TRUE(PumpUntil(
      [&] {
        for (int taskId : tasks) {
          if (!log.HasTerminal(taskId)) return false;
        }
        return true;
      },
      30s));
  for (int taskId : tasks) {
    EXPECT_EQ(log.TerminalCount(taskId), 1);
    const HttpEvent end = log.Terminal(taskId);
    EXPECT_EQ(end.code, DOWNLOAD_OK) << "task " << taskId;
    EXPECT_EQ(end.data.size(), kBody);
  }
  std::set<int> ids(created.begin(), created.end());
  for (int worker : stable) ids.insert(worker);
  EXPECT_EQ(ids.size(), created.size() + stable.size()) << "a worker id came back";
  for (int worker : stable) EXPECT_EQ(ZvHttp::CloseWorker(worker), 0);
  ZvHttp::Uninit();
  std::cout << "[ churn    ] " << created.size() << " workers created and closed beside "
            << tasks.size() << " transfers" << std::endl;
}

namespace {

// Ends the family from inside the first terminal callback it sees.
int ZV_STDCALL UninitOnEnd(int taskId, unsigned long param, DOWNLOAD_ERRORCODE code,
                           tagDataOut* out) {
  CHttpCallbackLog::Callback(taskId, param, code, out);
  static std::atomic<bool> ended{false};
  if (code != DOWNLOAD_PROGRESS && code != DOWNLOAD_REDIRECT && !ended.exchange(true)) {
    ZvHttp::Uninit();
  }
  return 0;
}

}  // namespace

TEST(WorkerChurn, UninitFromACallbackEndsEverythingAndInitWorksAgain) {
  CHttpTestServer server;
  server.Serve("/body", HttpTestResponse::Text(200, std::string(kBody, 'b')));
  HttpTestResponse hang;
  hang.neverAnswer = true;
  server.Serve("/hang", hang);
  ASSERT_EQ(ZvHttp::Init(), 0);
  int worker = 0, other = 0;
  ASSERT_EQ(ZvHttp::CreateWorker(&worker), 0);
  ASSERT_EQ(ZvHttp::CreateWorker(&other), 0);

  CHttpCallbackLog log;
  tagDefHttpPar par;
  par.url = server.Url("/body");
  int first = 0, hanging = 0, queued = 0;
  ASSERT_EQ(ZvHttp::DownloadInMem(&par, UninitOnEnd, 30000, &first, log.Param(), worker), 0);
  par.url = server.Url("/hang");
  ASSERT_EQ(ZvHttp::DownloadInMem(&par, UninitOnEnd, 30000, &hanging, log.Param(), other), 0);
  ASSERT_EQ(ZvHttp::DownloadInMem(&par, UninitOnEnd, 1000, &queued, log.Param(), other), 0);

  ASSERT_TRUE(PumpUntil([&] { return log.HasTerminal(first); }, 20s));
  const size_t atUninit = log.Count();
  PumpFor(2500ms);  // past the queued request's time-out and a timer tick
  EXPECT_EQ(log.Count(), atUninit) << "a callback after Uninit";
  EXPECT_EQ(log.TerminalCount(first), 1);
  EXPECT_EQ(log.Terminal(first).code, DOWNLOAD_OK);

  // The family starts afresh.
  ASSERT_EQ(ZvHttp::Init(), 0);
  int again = 0, task = 0;
  ASSERT_EQ(ZvHttp::CreateWorker(&again), 0);
  ASSERT_EQ(Fetch(server, log, again, &task), 0);
  ASSERT_TRUE(PumpUntil([&] { return log.HasTerminal(task); }, 20s));
  EXPECT_EQ(log.Terminal(task).code, DOWNLOAD_OK);
  EXPECT_EQ(ZvHttp::CloseWorker(again), 0);
  ZvHttp::Uninit();
}
