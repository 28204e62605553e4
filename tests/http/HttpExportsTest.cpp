// The ZvHttp exports end to end: counting users, ids, delivery on the requesting thread,
// time-outs, stopping, closing workers, several threads, and shutdown.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/Thread.h"
#include "tests/http/HttpExportsFixture.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackPort.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCertificateAuthority.h"
#include "zvnet/zvmsgloop.h"

TEST(HttpFamilyTest, InitIsCountedAndTheLastUninitEndsTheService) {
  CLogCapture capture;
  int worker = 0;
  EXPECT_EQ(ZvHttp::CreateWorker(&worker), E_FAIL) << "no service before Init";
  EXPECT_EQ(ZvHttp::Init(), 0);
  EXPECT_EQ(ZvHttp::Init(), 0);
  EXPECT_TRUE(capture.Contains("ZvHttp::Init. Refer: 2 times"));
  EXPECT_EQ(ZvHttp::Uninit(), 0);
  EXPECT_EQ(ZvHttp::CreateWorker(&worker), 0) << "one user is left";
  EXPECT_EQ(worker, 1);
  EXPECT_EQ(ZvHttp::Uninit(), 0);
  EXPECT_TRUE(capture.Contains("ZvHttp::Uninit CHttpTaskService::DestroyInstance"));
  EXPECT_EQ(ZvHttp::CreateWorker(&worker), E_FAIL);
  EXPECT_EQ(ZvHttp::Uninit(), 0) << "one Uninit too many only logs";
  EXPECT_EQ(capture.Count("ZvHttp::Uninit. Refer: 0 times"), 2);
  EXPECT_EQ(capture.Count("CHttpTaskService::DestroyInstance True"), 1);
}

TEST(HttpFamilyTest, EveryExportFailsWithoutService) {
  tagDefHttpPar par;
  par.url = L"http://127.0.0.1:9/";
  tagHProxyInfo proxy;
  int id = -1;
  EXPECT_EQ(ZvHttp::DownloadInMem(&par, nullptr, 1000, &id, 0, 1), E_FAIL);
  EXPECT_EQ(ZvHttp::DownloadInFile(&par, L"/tmp/x", nullptr, 1000, &id, 0, 1, false), E_FAIL);
  EXPECT_EQ(ZvHttp::DownloadInFileEx(&par, L"/tmp/x", nullptr, 0, nullptr, 1000, &id, 0, 1),
            E_FAIL);
  EXPECT_EQ(ZvHttp::Upload(&par, nullptr, 0, nullptr, 1000, &id, 0, 1), E_FAIL);
  EXPECT_EQ(id, -1) << "no id is drawn without a service";
  EXPECT_EQ(ZvHttp::CloseWorker(1), E_FAIL);
  EXPECT_EQ(ZvHttp::StopTask(1), E_FAIL);
  EXPECT_EQ(ZvHttp::SetProxy(&proxy), E_FAIL);
  EXPECT_EQ(ZvHttp::SetMaxTaskNum(3), E_FAIL);
  EXPECT_EQ(ZvHttp::IsDestinationReachable(L"http://127.0.0.1/"), E_FAIL);
}

TEST_F(HttpExportsTest, NullArgumentsAreRefusedWithoutDrawingAnId) {
  tagDefHttpPar par;
  par.url = QuickUrl();
  int id = 0;
  EXPECT_EQ(ZvHttp::DownloadInMem(nullptr, nullptr, 1000, &id, 0, worker), E_FAIL);
  EXPECT_EQ(ZvHttp::DownloadInMem(&par, nullptr, 1000, nullptr, 0, worker), E_FAIL);
  EXPECT_EQ(ZvHttp::Upload(&par, nullptr, 10, nullptr, 1000, &id, 0, worker), E_FAIL)
      << "a length without bytes";
  EXPECT_EQ(ZvHttp::CreateWorker(nullptr), E_FAIL);
  EXPECT_EQ(ZvHttp::SetProxy(nullptr), E_FAIL);
  EXPECT_EQ(ZvHttp::DownloadInMem(&par, nullptr, 1000, &id, 0, worker), 0);
  EXPECT_EQ(id, 1);
}

TEST_F(HttpExportsTest, IdsStartAtOneAndAnUnknownWorkerConsumesOne) {
  CLogCapture capture;
  CHttpCallbackLog log;
  int first = 0, refused = 0, third = 0;
  ASSERT_EQ(Fetch(QuickUrl(), log, 10000, &first), 0);
  EXPECT_EQ(Fetch(QuickUrl(), log, 0, &refused, worker + 100), E_FAIL);
  tagDefHttpPar par;
  par.url = QuickUrl();
  int upload = 0;
  EXPECT_EQ(ZvHttp::Upload(&par, nullptr, 0, nullptr, 0, &upload, 0, 77), E_FAIL);
  ASSERT_EQ(Fetch(QuickUrl(), log, 10000, &third), 0);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(refused, 2);
  EXPECT_EQ(upload, 3);
  EXPECT_EQ(third, 4);
  EXPECT_TRUE(capture.Contains("CHttpTaskService::DownloadInMem Fail1"));
  EXPECT_TRUE(capture.Contains("CHttpTaskService::Upload Fail1"));

  ASSERT_TRUE(PumpUntilDone(log, third));
  PumpFor(2500ms);  // past a timer tick: the refused requests never time out
  EXPECT_TRUE(log.EventsOf(refused).empty());

  int second = 0;
  ASSERT_EQ(ZvHttp::CreateWorker(&second), 0);
  EXPECT_EQ(second, worker + 1);
  ASSERT_EQ(ZvHttp::CloseWorker(worker), 0);
  EXPECT_EQ(ZvHttp::CloseWorker(worker), E_FAIL) << "ids are not reused";
  ASSERT_EQ(ZvHttp::CreateWorker(&worker), 0);
  EXPECT_EQ(worker, second + 1);

  ZvHttp::Uninit();
  ZvHttp::Init();
  int fresh = 0;
  ASSERT_EQ(ZvHttp::CreateWorker(&fresh), 0);
  EXPECT_EQ(fresh, 1) << "a new service counts from 1 again";
  ASSERT_EQ(Fetch(QuickUrl(), log, 10000, &first, fresh), 0);
  EXPECT_EQ(first, 1);
}

TEST_F(HttpExportsTest, CallbacksArriveOnTheRequestingThreadInOrder) {
  CHttpCallbackLog log;
  int id = 0;
  ASSERT_EQ(Fetch(QuickUrl(), log, 10000, &id), 0);
  ASSERT_TRUE(PumpUntilDone(log, id));
  std::vector<HttpEvent> events = log.EventsOf(id);
  ASSERT_GE(events.size(), 3u);
  uint32_t held = 0;
  for (size_t i = 0; i + 1 < events.size(); ++i) {
    EXPECT_EQ(events[i].code, DOWNLOAD_PROGRESS);
    ASSERT_EQ(events[i].data.size(), 8u);
    EXPECT_GT(events[i].ProgressHeld(), held) << "progress in the order reported";
    held = events[i].ProgressHeld();
    EXPECT_EQ(events[i].ProgressEnd(), kQuickSize);
  }
  EXPECT_EQ(held, kQuickSize);
  EXPECT_EQ(events.back().code, DOWNLOAD_OK);
  EXPECT_EQ(events.back().httpStatus, 200);
  EXPECT_TRUE(events.back().data == QuickBody()) << "the body comes with the completion";
  for (const HttpEvent& event : events) EXPECT_EQ(event.threadId, GetCurrentThreadId());
  const size_t count = events.size();
  PumpFor(2500ms);
  EXPECT_EQ(log.EventsOf(id).size(), count) << "nothing after the completion, no time-out";
}

// An unusable request fails at once, a request with time-out 0 times out at the first tick;
// each ends exactly once, and the worker goes on with the next request.
TEST_F(HttpExportsTest, UnusableOrTimedOutRequestEndsOnceAndTheWorkerGoesOn) {
  CLogCapture capture;
  CHttpCallbackLog log;
  int bad = 0, slow = 0, next = 0;
  ASSERT_EQ(Fetch(UnusableUrl(), log, 1, &bad), 0);
  ASSERT_EQ(Fetch(SlowUrl(), log, 0, &slow), 0);
  ASSERT_EQ(Fetch(QuickUrl(), log, 10000, &next), 0);
  ASSERT_TRUE(PumpUntilDone(log, slow, 5s)) << "a tick comes every 2 seconds";
  EXPECT_TRUE(PumpUntilDone(log, next)) << "the timed-out transfer was stopped";
  PumpFor(2500ms);
  std::vector<HttpEvent> failed = log.EventsOf(bad);
  ASSERT_EQ(failed.size(), 1u) << "no time-out after the failure";
  EXPECT_EQ(failed[0].code, DOWNLOAD_FAILED);
  std::vector<HttpEvent> timedOut = log.EventsOf(slow);
  ASSERT_EQ(timedOut.size(), 1u) << "the time-out once, nothing of the task after it";
  EXPECT_EQ(timedOut[0].code, DOWNLOAD_TIMEOUT);
  EXPECT_FALSE(timedOut[0].hasOut);
  EXPECT_TRUE(capture.Contains("ZvHttp::Task Time Out for ID:" + std::to_string(slow)));
}

// A failed completion names its cause; the file's errno comes with an unwritable destination.
TEST_F(HttpExportsTest, FailedCompletionSaysWhy) {
  CTestCertificateAuthority ca;
  CTestCertificateAuthority stranger("not trusted");
  CScopedEnv trust("ZVNET_CA_FILE", ca.CaFile());
  CHttpTestServer untrusted(stranger.Issue({"127.0.0.1"}));
  CHttpTestServer otherName(ca.Issue({"elsewhere.test"}));
  for (CHttpTestServer* tls : {&untrusted, &otherName}) {
    tls->Serve("/x", HttpTestResponse::Text(200, "x"));
  }
  CTempFolder folder;
  // A label over 63 characters cannot go into a DNS query: the name fails without traffic.
  const std::wstring unresolvable = L"http://" + std::wstring(70, L'a') + L".invalid/";
  const struct {
    const char* name;
    std::wstring url;
    std::wstring savePath;  // empty: into memory
    ZV_FAILURE_CAUSE cause;
    int systemError;
  } cases[] = {
      {"refused", RefusedUrl(), L"", ZV_FAILURE_CONNECTION_REFUSED, 0},
      {"unresolvable", unresolvable, L"", ZV_FAILURE_HOST_NOT_FOUND, 0},
      {"untrusted", untrusted.Url("/x"), L"", ZV_FAILURE_TLS_UNTRUSTED, 0},
      {"wrong name", otherName.Url("/x"), L"", ZV_FAILURE_TLS_WRONG_HOST, 0},
      {"no folder", QuickUrl(), folder.WidePath("none/f.bin"), ZV_FAILURE_DESTINATION_UNWRITABLE,
       ENOENT},
      {"bad URL", L"http://", L"", ZV_FAILURE_BAD_URL, 0},
      {"not http", UnusableUrl(), L"", ZV_FAILURE_BAD_URL, 0},
      {"404", server.Url("/missing"), L"", ZV_FAILURE_NONE, 0},
  };
  CHttpCallbackLog log;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    tagDefHttpPar par;
    par.url = c.url;
    int id = 0;
    ASSERT_EQ(ZvHttp::DownloadInFile(&par, c.savePath, CHttpCallbackLog::Callback, 20000, &id,
                                     log.Param(), worker, false),
              0);
    ASSERT_TRUE(PumpUntilDone(log, id));
    const HttpEvent end = log.Terminal(id);
    EXPECT_NE(end.code, DOWNLOAD_OK);
    EXPECT_EQ(end.failure, c.cause);
    EXPECT_EQ(end.systemError, c.systemError);
  }
  // A proxy where nothing listens is the proxy's failure, not the server's.
  tagHProxyInfo proxy;
  proxy.type = 1;
  proxy.host = L"127.0.0.1";
  proxy.port = FreeLoopbackPort();
  ASSERT_EQ(ZvHttp::SetProxy(&proxy), 0);
  int id = 0;
  ASSERT_EQ(Fetch(QuickUrl(), log, 20000, &id), 0);
  ASSERT_TRUE(PumpUntilDone(log, id));
  EXPECT_EQ(log.Terminal(id).failure, ZV_FAILURE_PROXY_UNREACHABLE);
}

TEST_F(HttpExportsTest, StopTaskEndsRunningAndQueuedRequestsSilently) {
  CHttpCallbackLog log;
  int running = 0, queued = 0;
  ASSERT_EQ(Fetch(SlowUrl(), log, 3000, &running), 0);
  ASSERT_EQ(Fetch(QuickUrl(), log, 3000, &queued), 0);
  EXPECT_EQ(ZvHttp::StopTask(queued), 0);
  EXPECT_EQ(ZvHttp::StopTask(running), 0);
  EXPECT_EQ(ZvHttp::StopTask(999), E_FAIL);
  int after = 0;
  ASSERT_EQ(Fetch(QuickUrl(), log, 10000, &after), 0);
  ASSERT_TRUE(PumpUntilDone(log, after)) << "the worker is free again";
  PumpFor(4500ms);  // past both time-outs
  EXPECT_TRUE(log.EventsOf(running).empty());
  EXPECT_TRUE(log.EventsOf(queued).empty());
}

TEST_F(HttpExportsTest, CloseWorkerLeavesEachQueuedRequestToTimeOut) {
  CHttpCallbackLog log;
  int running = 0, queuedA = 0, queuedB = 0;
  ASSERT_EQ(Fetch(SlowUrl(), log, 1000, &running), 0);
  ASSERT_EQ(Fetch(QuickUrl(), log, 1000, &queuedA), 0);
  ASSERT_EQ(Fetch(QuickUrl(), log, 3000, &queuedB), 0);
  ASSERT_EQ(ZvHttp::CloseWorker(worker), 0);
  ASSERT_TRUE(PumpUntil([&] { return log.HasTerminal(running) && log.HasTerminal(queuedA); }));
  EXPECT_FALSE(log.HasTerminal(queuedB)) << "each times out when its own time has passed";
  ASSERT_TRUE(PumpUntilDone(log, queuedB));
  PumpFor(2500ms);
  for (int id : {running, queuedA, queuedB}) {
    std::vector<HttpEvent> events = log.EventsOf(id);
    ASSERT_EQ(events.size(), 1u) << id;
    EXPECT_EQ(events[0].code, DOWNLOAD_TIMEOUT);
  }
}

TEST_F(HttpExportsTest, DownloadInFileWithEmptyPathDeliversTheBody) {
  CHttpCallbackLog log;
  tagDefHttpPar par;
  par.url = QuickUrl();
  for (const wchar_t* path : {L"", L"  \t "}) {
    int id = 0;
    ASSERT_EQ(ZvHttp::DownloadInFile(&par, path, CHttpCallbackLog::Callback, 10000, &id,
                                     log.Param(), worker, false),
              0);
    ASSERT_TRUE(PumpUntilDone(log, id));
    EXPECT_EQ(log.Terminal(id).code, DOWNLOAD_OK);
    EXPECT_TRUE(log.Terminal(id).data == QuickBody()) << "blank path too";
  }
  EXPECT_EQ(ZvHttp::SetMaxTaskNum(1), 0);
}

TEST_F(HttpExportsTest, TwoThreadsOnOneWorkerEachSeeOnlyTheirOwnCallbacks) {
  // The server counts requests in progress: one worker runs its requests one at a time.
  std::atomic<int> active{0}, mostActive{0};
  server.Handle("/one", [&](const HttpTestRequest&) {
    int now = ++active;
    mostActive = std::max(mostActive.load(), now);
    std::this_thread::sleep_for(30ms);
    --active;
    return HttpTestResponse::Text(200, "one at a time");
  });
  struct Host {
    CHttpCallbackLog log;
    std::vector<int> ids;
    DWORD threadId = 0;
    bool done = false;
  };
  Host hosts[2];
  auto run = [&](Host& host) {
    host.threadId = GetCurrentThreadId();
    for (int i = 0; i < 3; ++i) {
      int id = 0;
      ASSERT_EQ(Fetch(server.Url("/one"), host.log, 15000, &id), 0);
      host.ids.push_back(id);
    }
    host.done = PumpUntil([&] {
      for (int id : host.ids) {
        if (!host.log.HasTerminal(id)) return false;
      }
      return true;
    });
  };
  std::thread first(run, std::ref(hosts[0]));
  std::thread second(run, std::ref(hosts[1]));
  first.join();
  second.join();
  for (Host& host : hosts) {
    ASSERT_TRUE(host.done);
    for (const HttpEvent& event : host.log.Events()) {
      EXPECT_EQ(event.threadId, host.threadId);
      EXPECT_NE(std::find(host.ids.begin(), host.ids.end(), event.taskId), host.ids.end());
    }
    for (int id : host.ids) {
      EXPECT_EQ(host.log.TerminalCount(id), 1);
      EXPECT_EQ(host.log.Terminal(id).data, "one at a time");
    }
  }
  EXPECT_EQ(server.RequestCount(), 6u);
  EXPECT_EQ(mostActive, 1);
}

TEST_F(HttpExportsTest, UninitFreesQueuedMessagesOfSeveralThreadsAndNothingArrivesAfterwards) {
  CLogCapture capture;
  int second = 0;
  ASSERT_EQ(ZvHttp::CreateWorker(&second), 0);
  std::atomic<bool> uninitDone{false};
  std::atomic<int> lateCallbacks{0};
  std::atomic<int> queued{0};
  std::atomic<int> quickIds[2] = {0, 0};
  CHttpCallbackLog logs[2];
  for (CHttpCallbackLog& log : logs) {
    log.onEvent = [&](const HttpEvent&) {
      if (uninitDone) ++lateCallbacks;
    };
  }
  auto host = [&](int index, int onWorker) {
    int quick = 0, slow = 0;
    ASSERT_EQ(Fetch(QuickUrl(), logs[index], 30000, &quick, onWorker), 0);
    ASSERT_EQ(Fetch(SlowUrl(), logs[index], 30000, &slow, onWorker), 0);
    quickIds[index] = quick;
    ++queued;
    // Do not pump until the family is gone: the quick transfer's messages wait in the queue.
    WaitUntil([&] { return uninitDone.load(); }, 30s);
    PumpFor(2500ms);
  };
  std::thread a(host, 0, worker);
  std::thread b(host, 1, second);
  ASSERT_TRUE(WaitUntil([&] { return queued == 2; }));
  // Both quick transfers have ended (all their messages wait unhandled in their threads'
  // queues) while the slow ones still run on both workers.
  for (auto& id : quickIds) {
    ASSERT_TRUE(capture.WaitFor("CloseCookie Cookie: " + std::to_string(id.load()), 10s));
  }
  ZvHttp::Uninit();
  initialised = false;
  uninitDone = true;
  a.join();
  b.join();
  EXPECT_EQ(lateCallbacks, 0);
  EXPECT_EQ(logs[0].Count() + logs[1].Count(), 0u);
}

TEST_F(HttpExportsTest, UninitWaitsForACallbackRunningOnAnotherThread) {
  CHttpCallbackLog log;
  std::atomic<bool> uninitReturned{false}, stop{false};
  std::atomic<int> running{0}, startedAfterUninit{0}, pumpsAfterUninit{0};
  log.onEvent = [&](const HttpEvent&) {
    if (uninitReturned) ++startedAfterUninit;
    ++running;
    std::this_thread::sleep_for(300ms);  // a slow host callback
    --running;
  };
  std::thread host([&] {
    int id = 0;
    ASSERT_EQ(Fetch(QuickUrl(), log, 30000, &id), 0);
    while (!stop) {
      ZvMsgLoop::Pump(10);
      if (uninitReturned) ++pumpsAfterUninit;
    }
  });
  ASSERT_TRUE(WaitUntil([&] { return running > 0; }));
  ZvHttp::Uninit();
  EXPECT_EQ(running, 0) << "Uninit returned while a callback still ran";
  uninitReturned = true;
  initialised = false;
  const size_t seen = log.Count();
  // The host goes on pumping: what was still queued for it must not arrive.
  EXPECT_TRUE(WaitUntil([&] { return pumpsAfterUninit >= 40; }));
  stop = true;
  host.join();
  EXPECT_EQ(startedAfterUninit, 0);
  EXPECT_EQ(log.Count(), seen);
}

TEST_F(HttpExportsTest, CallbackMayStopItsTaskAndEndTheFamily) {
  CHttpCallbackLog log;
  int stopped = 0;
  log.onEvent = [&](const HttpEvent& event) {
    if (event.taskId == stopped) {
      EXPECT_EQ(ZvHttp::StopTask(stopped), 0);
    }
  };
  ASSERT_EQ(Fetch(PausingUrl(), log, 3000, &stopped), 0);
  ASSERT_TRUE(PumpUntil([&] { return log.Count() > 0; }));
  PumpFor(3500ms);
  EXPECT_EQ(log.EventsOf(stopped).size(), 1u) << "nothing after the stop, no time-out";

  CHttpCallbackLog ending;
  int first = 0, second = 0;
  std::atomic<int> calls{0};
  ending.onEvent = [&](const HttpEvent&) {
    if (++calls == 1) {
      EXPECT_EQ(ZvHttp::Uninit(), 0);
    }
  };
  ASSERT_EQ(Fetch(QuickUrl(), ending, 0, &first), 0);
  ASSERT_EQ(Fetch(QuickUrl(), ending, 0, &second), 0);
  ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
  initialised = false;
  PumpFor(2500ms);
  EXPECT_EQ(calls, 1) << "nothing after Uninit";
  int worker2 = 0;
  EXPECT_EQ(ZvHttp::CreateWorker(&worker2), E_FAIL);
}
