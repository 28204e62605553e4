#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "http/HttpTaskService.h"
#include "platform/win32/Thread.h"
#include "tests/http/HttpExportsFixture.h"
#include "tests/support/BlackHoleListener.h"
#include "tests/support/LogCapture.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCertificateAuthority.h"
#include "tools/HttpTestResource.h"
#include "zvnet/zvmsgloop.h"

namespace {

// Whether a connection to 127.0.0.1:`port` is in its connect phase (SYN sent, no answer).
bool IsConnectingTo(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  char remote[16];
  std::snprintf(remote, sizeof remote, "0100007F:%04X", port);
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, peer, state;
    fields >> slot >> local >> peer >> state;
    if (peer == remote && state == "02") return true;  // TCP_SYN_SENT
  }
  return false;
}

}  // namespace

TEST(HttpFamilyTest, ExportsNeedTheServiceAndInitIsCounted) {
  tagDefHttpPar par = HttpPar(L"http://127.0.0.1:9/");
  tagHProxyInfo proxy;
  int id = -1, worker = 0;
  auto refusedWithoutService = [&] {
    EXPECT_EQ(ZvHttp::CreateWorker(&worker), E_FAIL);
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
  };
  refusedWithoutService();
  EXPECT_EQ(ZvHttp::Init(), 0);
  EXPECT_EQ(ZvHttp::Init(), 0);
  EXPECT_EQ(ZvHttp::Uninit(), 0);
  EXPECT_EQ(ZvHttp::CreateWorker(&worker), 0) << "one user is left";
  EXPECT_EQ(worker, 1);
  EXPECT_EQ(ZvHttp::SetMaxTaskNum(1), 0);
  EXPECT_EQ(ZvHttp::Uninit(), 0);
  refusedWithoutService();
  EXPECT_EQ(ZvHttp::Uninit(), 0) << "one Uninit too many only logs";
}

// Null arguments and unknown ids are refused without drawing an id or calling back; ids
// start at 1, a request on an unknown worker consumes one, and nothing reuses them. Callbacks
// arrive on the requesting thread in order.
TEST_F(HttpExportsTest, IdsStartAtOneAndOnlyUnknownWorkersConsumeARefusedOne) {
  tagDefHttpPar par = HttpPar(QuickUrl());
  int id = -1;
  auto* cb = CHttpCallbackLog::Callback;
  const unsigned long p = log.Param();
  const long results[] = {
      ZvHttp::DownloadInMem(nullptr, cb, 1000, &id, p, worker),
      ZvHttp::DownloadInMem(&par, cb, 1000, nullptr, p, worker),
      ZvHttp::DownloadInFile(nullptr, L"/tmp/x", cb, 1000, &id, p, worker, false),
      ZvHttp::DownloadInFile(&par, L"/tmp/x", cb, 1000, nullptr, p, worker, false),
      ZvHttp::DownloadInFileEx(nullptr, L"/tmp/x", nullptr, 0, cb, 1000, &id, p, worker),
      ZvHttp::DownloadInFileEx(&par, L"/tmp/x", nullptr, 0, cb, 1000, nullptr, p, worker),
      ZvHttp::Upload(nullptr, nullptr, 0, cb, 1000, &id, p, worker),
      ZvHttp::Upload(&par, nullptr, 0, cb, 1000, nullptr, p, worker),
      ZvHttp::Upload(&par, nullptr, 10, cb, 1000, &id, p, worker),  // a length without bytes
      ZvHttp::CreateWorker(nullptr),
      ZvHttp::SetProxy(nullptr),
      ZvHttp::StopTask(4242),
      ZvHttp::StopTask(-1),
      ZvHttp::CloseWorker(0),
  };
  for (size_t i = 0; i < std::size(results); ++i) EXPECT_EQ(results[i], E_FAIL) << "call " << i;
  EXPECT_EQ(id, -1);
  EXPECT_EQ(ZvHttp::IsDestinationReachable(nullptr), 0);
  int first = 0, refused = 0, upload = 0, third = 0;
  ASSERT_EQ(Fetch(QuickUrl(), log, 10000, &first), 0);
  EXPECT_EQ(Fetch(QuickUrl(), log, 0, &refused, worker + 100), E_FAIL);
  EXPECT_EQ(ZvHttp::Upload(&par, nullptr, 0, nullptr, 0, &upload, 0, 77), E_FAIL);
  ASSERT_EQ(Fetch(QuickUrl(), log, 10000, &third), 0);
  EXPECT_EQ(std::vector<int>({first, refused, upload, third}), std::vector<int>({1, 2, 3, 4}));
  ASSERT_TRUE(PumpUntilDone(log, third));
  PumpFor(2500ms);  // past a timer tick: the refused requests never time out
  EXPECT_EQ(log.Count(), log.EventsOf(first).size() + log.EventsOf(third).size());
  // Progress in the order of the reads, then the body with the completion, nothing after it;
  // all on the requesting thread.
  std::vector<HttpEvent> events = log.EventsOf(first);
  ASSERT_GE(events.size(), 3u);
  uint32_t held = 0;
  for (size_t i = 0; i + 1 < events.size(); ++i) {
    EXPECT_EQ(events[i].code, DOWNLOAD_PROGRESS);
    ASSERT_EQ(events[i].data.size(), 8u);
    EXPECT_GT(events[i].ProgressHeld(), held);
    EXPECT_LE(events[i].ProgressHeld() - held, 32768u) << "a record for each read";
    held = events[i].ProgressHeld();
    EXPECT_EQ(events[i].ProgressEnd(), kQuickSize);
  }
  EXPECT_EQ(held, kQuickSize);
  EXPECT_EQ(events.back().code, DOWNLOAD_OK);
  EXPECT_EQ(events.back().httpStatus, 200);
  EXPECT_TRUE(events.back().data == QuickBody());
  for (const HttpEvent& event : events) EXPECT_EQ(event.threadId, GetCurrentThreadId());

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
  // A transfer without a callback runs all the same (the worker takes it before the next).
  tagDefHttpPar quiet = HttpPar(server.Url("/quick?quiet"));
  int quietId = 0;
  ASSERT_EQ(ZvHttp::DownloadInMem(&quiet, nullptr, 10000, &quietId, 0, fresh), 0);
  ASSERT_EQ(Fetch(QuickUrl(), log, 10000, &third, fresh), 0);
  ASSERT_TRUE(PumpUntilDone(log, third));
  EXPECT_EQ(server.Requests().back().target, "/quick") << "the quiet transfer ran first";
  EXPECT_EQ(server.Requests().rbegin()[1].target, "/quick?quiet");
}

// After the largest id the counts start again at 1, passing over the ids still in use: a
// request still open and the workers still open.
TEST_F(HttpExportsTest, IdsWrapAfterTheLargestAndSkipThoseStillInUse) {
  int open = 0, other = 0;
  ASSERT_EQ(Fetch(SlowUrl(), log, 60000, &open), 0);
  ASSERT_EQ(ZvHttp::CreateWorker(&other), 0);
  ASSERT_EQ(std::vector<int>({worker, open, other}), std::vector<int>({1, 1, 2}));

  CHttpTaskService::GetInstance()->SetNextIdsForTesting(INT_MAX, INT_MAX);
  int largest = 0, wrapped = 0, largestWorker = 0, wrappedWorker = 0;
  ASSERT_EQ(Fetch(QuickUrl(), log, 10000, &largest, other), 0);
  ASSERT_EQ(Fetch(QuickUrl(), log, 10000, &wrapped, other), 0);
  ASSERT_EQ(ZvHttp::CreateWorker(&largestWorker), 0);
  ASSERT_EQ(ZvHttp::CreateWorker(&wrappedWorker), 0);
  EXPECT_EQ(std::vector<int>({largest, wrapped}), std::vector<int>({INT_MAX, 2}));
  EXPECT_EQ(std::vector<int>({largestWorker, wrappedWorker}), std::vector<int>({INT_MAX, 3}));
  ASSERT_TRUE(PumpUntilDone(log, wrapped));
  ASSERT_TRUE(PumpUntilDone(log, largest));
  EXPECT_EQ(log.EventsOf(largest).back().code, DOWNLOAD_OK);
  EXPECT_EQ(log.EventsOf(wrapped).back().code, DOWNLOAD_OK);
  EXPECT_FALSE(log.HasTerminal(open));
}

// A completion names its cause; TLS trusts the added authority but tolerates dates. A blank
// path is memory. (Each cause that the command words, it words from a row of CliTest: refused,
// host not found, untrusted, wrong host, unwritable with its errno, proxy unreachable.)
TEST_F(HttpExportsTest, CompletionSaysWhyItFailed) {
  CTestCertificateAuthority ca;
  CScopedEnv trust("ZVNET_CA_FILE", ca.CaFile());
  CHttpTestServer trusted(ca.Issue({"localhost"}));
  CHttpTestServer expired(ca.Issue({"localhost"}, true));
  for (CHttpTestServer* tls : {&trusted, &expired})
    tls->Serve("/x", HttpTestResponse::Text(200, "x"));
  const struct {
    std::wstring url, savePath;  // blank path: into memory
    ZV_FAILURE_CAUSE cause;
    DOWNLOAD_ERRORCODE code = DOWNLOAD_FAILED;
    const char* data = nullptr;
  } cases[] = {
      {L"http://", L"", ZV_FAILURE_BAD_URL},
      {UnusableUrl(), L"", ZV_FAILURE_BAD_URL},
      {server.Url("/missing"), L"", ZV_FAILURE_NONE, DOWNLOAD_NOT_FOUND},
      {trusted.Url("/x", "localhost"), L"  \t ", ZV_FAILURE_NONE, DOWNLOAD_OK, "x"},
      {expired.Url("/x", "localhost"), L"", ZV_FAILURE_NONE, DOWNLOAD_OK, "x"},
      // An unknown scheme is let through; "https" anywhere in the URL makes it a secure fetch.
      {L"web://localhost:" + std::to_wstring(trusted.Port()) + L"/x?HTTPS=1", L"", ZV_FAILURE_NONE,
       DOWNLOAD_OK, "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.url.begin(), c.url.end()));
    tagDefHttpPar par = HttpPar(c.url);
    int id = 0;
    ASSERT_EQ(ZvHttp::DownloadInFile(&par, c.savePath, CHttpCallbackLog::Callback, 20000, &id,
                                     log.Param(), worker, false),
              0);
    ASSERT_TRUE(PumpUntilDone(log, id));
    const HttpEvent end = log.Terminal(id);
    EXPECT_EQ(end.code, c.code);
    EXPECT_EQ(end.failure, c.cause);
    if (c.data) {
      EXPECT_EQ(end.data, c.data);
    }
  }
  EXPECT_EQ(trusted.Requests().back().target, "/x?HTTPS=1");
}

// Stopped while the server holds the answer, or while connecting to a black hole.
TEST_F(HttpExportsTest, StopTaskEndsRunningAndQueuedRequestsSilently) {
  CBlackHoleListener hole;
  std::vector<int> stopped;
  for (const std::wstring& url : {SlowUrl(), hole.Url("/x")}) {
    int running = 0, queued = 0;
    ASSERT_EQ(Fetch(url, log, 3000, &running), 0);
    ASSERT_EQ(Fetch(QuickUrl(), log, 3000, &queued), 0);
    EXPECT_EQ(ZvHttp::StopTask(queued), 0);
    EXPECT_EQ(ZvHttp::StopTask(running), 0);
    EXPECT_EQ(FetchAndWait(QuickUrl(), log).code, DOWNLOAD_OK) << "the worker is free again";
    stopped.insert(stopped.end(), {running, queued});
  }
  PumpFor(4500ms);  // past the time-outs
  for (int id : stopped) EXPECT_TRUE(log.EventsOf(id).empty()) << id;
}

// The reachability probe waits for its destination on its own: while it hangs on another
// thread every other export answers, and the last Uninit ends it (0) instead of leaving it
// to the two-minute time-outs. Rows: a server that accepts and never answers, a port whose
// connections never complete.
TEST_F(HttpExportsTest, ProbeOfASilentDestinationHoldsUpNoOtherExport) {
  HttpTestResponse silent;
  silent.neverAnswer = true;
  server.Serve("/silent", silent);
  CBlackHoleListener hole;
  auto probed = [&] {
    const auto requests = server.Requests();
    return std::any_of(requests.begin(), requests.end(),
                       [](const HttpTestRequest& r) { return r.target == "/silent"; });
  };
  const struct {
    const char* name;
    std::wstring url;
    std::function<bool()> reached;  // the probe is at its destination
  } rows[] = {
      {"accepts, never answers", server.Url("/silent"), probed},
      {"never accepts", hole.Url("/"), [&] { return IsConnectingTo(hole.Port()); }},
  };
  ZvHttp::Uninit();  // each row runs in a family of its own
  initialised = false;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(ZvHttp::Init(), 0);
    int busy = 0, task = 0;
    ASSERT_EQ(ZvHttp::CreateWorker(&busy), 0);
    ASSERT_EQ(Fetch(SlowUrl(), log, 60000, &task, busy), 0);
    std::atomic<int> answer{-1};
    std::jthread probe([&] { answer = ZvHttp::IsDestinationReachable(row.url.c_str()); });
    ASSERT_TRUE(WaitUntil(row.reached, 20s));
    tagHProxyInfo direct;
    int other = 0;
    EXPECT_EQ(ZvHttp::StopTask(task), 0);
    EXPECT_EQ(ZvHttp::CloseWorker(busy), 0);
    EXPECT_EQ(ZvHttp::SetProxy(&direct), 0);
    EXPECT_EQ(ZvHttp::CreateWorker(&other), 0);
    EXPECT_EQ(ZvHttp::IsDestinationReachable(QuickUrl().c_str()), 1) << "probes run side by side";
    EXPECT_EQ(answer, -1) << "every export above returned while the probe was outstanding";
    EXPECT_EQ(ZvHttp::Uninit(), 0);
    EXPECT_TRUE(WaitUntil([&] { return answer != -1; }, 20s)) << "the last Uninit ends it";
    probe.join();
    EXPECT_EQ(answer, 0);
  }
  ASSERT_EQ(ZvHttp::Init(), 0);
  initialised = true;
  EXPECT_EQ(ZvHttp::IsDestinationReachable(QuickUrl().c_str()), 1) << "a new family probes again";
}

// An unusable request fails at once; closing the worker leaves each request to time out in
// its own time (time-out 0: at the first tick of the 2 s timer). Each ends exactly once.
TEST_F(HttpExportsTest, FailedAndTimedOutRequestsEndOnceAlsoOnAClosedWorker) {
  int bad = 0, running = 0, queuedA = 0, queuedB = 0;
  ASSERT_EQ(Fetch(UnusableUrl(), log, 1, &bad), 0);
  ASSERT_EQ(Fetch(SlowUrl(), log, 1000, &running), 0);
  ASSERT_EQ(Fetch(QuickUrl(), log, 0, &queuedA), 0);
  ASSERT_EQ(Fetch(QuickUrl(), log, 3000, &queuedB), 0);
  ASSERT_TRUE(PumpUntilDone(log, bad));
  ASSERT_EQ(ZvHttp::CloseWorker(worker), 0);
  ASSERT_TRUE(PumpUntil([&] { return log.HasTerminal(running) && log.HasTerminal(queuedA); }));
  EXPECT_FALSE(log.HasTerminal(queuedB)) << "each times out when its own time has passed";
  ASSERT_TRUE(PumpUntilDone(log, queuedB));
  PumpFor(2500ms);
  for (int id : {bad, running, queuedA, queuedB}) {
    std::vector<HttpEvent> events = log.EventsOf(id);
    ASSERT_EQ(events.size(), 1u) << id;
    EXPECT_EQ(events[0].code, id == bad ? DOWNLOAD_FAILED : DOWNLOAD_TIMEOUT);
    EXPECT_TRUE(id == bad || !events[0].hasOut) << "a time-out carries nothing";
  }
}

// A download into a folder that others can write: what someone put at the temporary name or at
// the destination is replaced, never written through, while a temporary file of our own still
// resumes. The links point at "victim"; a planted link must not resume into it either.
TEST_F(HttpExportsTest, NamesPlantedInTheFolderAreReplacedNeverWrittenThrough) {
  const std::string body = QuickBody().substr(0, 100000);
  server.Handle("/file", CHttpTestResource(body));
  struct Row {
    const char* name;
    char plant;      // l: link to victim, d: dangling link, h: hard link, f: fifo, D: directories,
                     // p: our partial file, 6: a file of mode 0600
    const char* at;  // the planted names, '|' between them
    unsigned long offset;
    DOWNLOAD_ERRORCODE code;
    const char* range = "";           // the Range header of the last request
    const char* savedAs = "out.bin";  // where the body lands
  } rows[] = {
      {"link at the temporary name", 'l', "out.bin.downloading", 5, DOWNLOAD_OK},
      {"dangling link at the temporary name", 'd', "out.bin.downloading", 0, DOWNLOAD_OK},
      {"hard link at the temporary name", 'h', "out.bin.downloading", 5, DOWNLOAD_OK},
      {"fifo at the temporary name", 'f', "out.bin.downloading", 0, DOWNLOAD_OK},
      {"link as the destination", 'l', "out.bin", 0, DOWNLOAD_OK},
      // Replaced, a private file stays private.
      {"private file as the destination", '6', "out.bin", 0, DOWNLOAD_OK},
      {"directory at the temporary name", 'D', "out.bin.downloading", 0, DOWNLOAD_FAILED},
      {"our own partial file resumes", 'p', "out.bin.downloading", 40000, DOWNLOAD_OK,
       "bytes=40000-"},
      // A directory with something in it cannot be replaced: the body takes the next name.
      {"directory as the destination", 'D', "out.bin", 0, DOWNLOAD_OK, "", "out.bin_(0)"},
      // Nowhere to put it: a write failure that keeps the data at the temporary name.
      {"no name left", 'D', "out.bin|out.bin_(0)|out.bin_(0)_(1)|out.bin_(0)_(1)_(2)", 0,
       DOWNLOAD_WRITE_FAILED},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CTempFolder folder;
    folder.Write("victim", "not to be touched");
    std::stringstream names(row.at);
    for (std::string name; std::getline(names, name, '|');) {
      const std::string at = folder.Path(name).string(), victim = folder.Path("victim").string();
      const char p = row.plant;
      ASSERT_EQ(p == 'l'   ? ::symlink(victim.c_str(), at.c_str())
                : p == 'd' ? ::symlink(folder.Path("absent").c_str(), at.c_str())
                : p == 'h' ? ::link(victim.c_str(), at.c_str())
                : p == 'f' ? ::mkfifo(at.c_str(), 0666)
                           : 0,
                0);
      if (row.plant == 'D') std::filesystem::create_directories(folder.Path(name) / "x");
      if (row.plant == 'p') folder.Write(name, body.substr(0, 40000));
      if (row.plant == '6') {
        folder.Write(name, "old");
        ASSERT_EQ(::chmod(at.c_str(), 0600), 0);
      }
    }
    int id = 0;
    ASSERT_EQ(FetchFile(server.Url("/file"), folder.WidePath("out.bin"), log, &id, row.offset), 0);
    ASSERT_TRUE(PumpUntilDone(log, id));
    EXPECT_EQ(log.Terminal(id).code, row.code);
    EXPECT_EQ(folder.Read("victim"), "not to be touched") << "written through";
    EXPECT_FALSE(std::filesystem::exists(folder.Path("absent")));
    if (row.code == DOWNLOAD_WRITE_FAILED) {
      EXPECT_TRUE(folder.Read("out.bin.downloading") == body);
    }
    if (row.code != DOWNLOAD_OK) continue;
    EXPECT_EQ(server.Requests().back().Header("Range"), row.range);
    struct stat destination {};
    ASSERT_EQ(::lstat(folder.Path(row.savedAs).c_str(), &destination), 0);
    EXPECT_TRUE(S_ISREG(destination.st_mode));
    if (row.plant == '6') {
      EXPECT_EQ(destination.st_mode & 07777, 0600u);
    }
    EXPECT_TRUE(folder.Read(row.savedAs) == body);
    EXPECT_FALSE(std::filesystem::exists(folder.Path("out.bin.downloading")));
  }
  // The folder is moved away while the body is on its way and a link to another folder, one
  // with a planted temporary file, takes its name: the body still lands in the folder the
  // download started in, and the planted file is not moved into place.
  CTempFolder folder;
  for (const char* name : {"sub", "elsewhere"})
    std::filesystem::create_directories(folder.Path(name));
  folder.Write("elsewhere/out.bin.downloading", "planted");
  const auto root = std::make_shared<const std::filesystem::path>(folder.Root());
  server.Handle("/swap", [root, body](const HttpTestRequest&) {
    std::filesystem::rename(*root / "sub", *root / "moved");
    std::filesystem::create_directory_symlink(*root / "elsewhere", *root / "sub");
    return HttpTestResponse::Text(200, body);
  });
  int id = 0;
  ASSERT_EQ(FetchFile(server.Url("/swap"), folder.WidePath("sub/out.bin"), log, &id), 0);
  ASSERT_TRUE(PumpUntilDone(log, id));
  EXPECT_EQ(log.Terminal(id).code, DOWNLOAD_OK);
  EXPECT_TRUE(folder.Read("moved/out.bin") == body);
  EXPECT_EQ(folder.Read("elsewhere/out.bin.downloading"), "planted");
  EXPECT_FALSE(std::filesystem::exists(folder.Path("elsewhere/out.bin")));
}

// A callback may stop its own task, or end the family: that Uninit waits for a callback
// running on another host thread, and what is still queued for that thread, or for a third
// that does not pump until then, never arrives.
TEST_F(HttpExportsTest, CallbackMayStopItsTaskOrEndTheFamilyWhileOtherThreadsAreBusy) {
  int stopped = 0;
  log.onEvent = [&](const HttpEvent& event) {
    if (event.taskId == stopped) {
      EXPECT_EQ(ZvHttp::StopTask(stopped), 0);
    }
  };
  ASSERT_EQ(Fetch(server.Url("/pause"), log, 3000, &stopped), 0);
  ASSERT_TRUE(PumpUntil([&] { return log.Count() > 0; }));
  PumpFor(3500ms);
  EXPECT_EQ(log.EventsOf(stopped).size(), 1u) << "nothing after the stop, no time-out";

  CLogCapture capture;
  int second = 0, idleQuick = 0;
  ASSERT_EQ(ZvHttp::CreateWorker(&second), 0);
  std::atomic<bool> uninitReturned{false}, stop{false};
  std::atomic<int> running{0}, startedAfterUninit{0}, pumpsAfterUninit{0}, queued{0};
  CHttpCallbackLog busyLog, idleLog, ending;
  busyLog.onEvent = [&](const HttpEvent&) {
    if (uninitReturned) ++startedAfterUninit;
    ++running;
    std::this_thread::sleep_for(300ms);  // a slow host callback
    --running;
  };
  std::thread busy([&] {
    int id = 0;
    ASSERT_EQ(Fetch(QuickUrl(), busyLog, 30000, &id), 0);
    while (!stop) {
      ZvMsgLoop::Pump(10);
      if (uninitReturned) ++pumpsAfterUninit;
    }
  });
  std::thread idle([&] {
    int slow = 0;
    ASSERT_EQ(Fetch(QuickUrl(), idleLog, 30000, &idleQuick, second), 0);
    ASSERT_EQ(Fetch(SlowUrl(), idleLog, 30000, &slow, second), 0);
    ++queued;
    // No pumping until the family is gone: the quick transfer's messages wait in the queue.
    WaitUntil([&] { return uninitReturned.load(); }, 30s);
    PumpFor(2500ms);
  });
  ASSERT_TRUE(WaitUntil([&] { return running > 0 && queued == 1; }));
  ASSERT_TRUE(capture.WaitFor("CloseCookie Cookie: " + std::to_string(idleQuick), 10s));
  size_t seen = 0;
  std::atomic<int> calls{0};
  ending.onEvent = [&](const HttpEvent&) {
    if (++calls > 1) return;
    EXPECT_EQ(ZvHttp::Uninit(), 0);
    EXPECT_EQ(running, 0) << "Uninit returned while a callback still ran";
    uninitReturned = true;
    seen = busyLog.Count();
  };
  int first = 0;
  ASSERT_EQ(Fetch(QuickUrl(), ending, 0, &first), 0);
  ASSERT_EQ(Fetch(QuickUrl(), ending, 0, &first), 0);
  ASSERT_TRUE(PumpUntil([&] { return calls > 0; }));
  initialised = false;
  // The busy host goes on pumping: what was still queued for it must not arrive.
  EXPECT_TRUE(WaitUntil([&] { return pumpsAfterUninit >= 40; }));
  PumpFor(2500ms);
  stop = true;
  busy.join();
  idle.join();
  EXPECT_EQ(calls, 1) << "nothing after Uninit";
  EXPECT_EQ(ZvHttp::CreateWorker(&first), E_FAIL);
  EXPECT_EQ(startedAfterUninit, 0);
  EXPECT_EQ(busyLog.Count(), seen);
  EXPECT_EQ(idleLog.Count(), 0u);
}

// As UDP's stop from another thread: StopTask returns only once no callback of the task runs,
// and none starts afterwards, so the host may free the request's context right then. The
// callbacks run on this thread and take a while; a second thread stops each download as soon
// as its first callback has started and then marks it freed.
TEST_F(HttpExportsTest, NoCallbackRunsAfterAStopFromAnotherThreadReturns) {
  std::atomic<int> current{0}, violations{0};
  std::atomic<bool> started{false}, freed{false};
  log.onEvent = [&](const HttpEvent& event) {
    if (event.taskId != current) return;
    if (freed) ++violations;
    started = true;
    std::this_thread::sleep_for(2ms);  // widens the window a stop may fall into
    if (freed) ++violations;
  };
  for (int round = 0; round < 20; ++round) {
    started = false;
    freed = false;
    int id = 0;
    ASSERT_EQ(Fetch(QuickUrl(), log, 20000, &id), 0);
    current = id;
    std::thread stopper([&] {
      WaitUntil([&] { return started.load(); });
      ZvHttp::StopTask(id);
      freed = true;
    });
    PumpUntil([&] { return freed.load(); });
    stopper.join();
    PumpFor(5ms);
  }
  EXPECT_EQ(violations.load(), 0) << "callbacks ran after the StopTask that stopped them returned";
}

// Who follows a redirect: the stand-in below the task (nothing reported), or the task with
// HTTPPAR_NO_AUTO_REDIRECT, which reports it first as an absolute URL; HTTPPAR_STOP_ON_REDIRECT
// ends there. A relative Location is read against the URL it answers (RFC 3986 section 5).
// Every chain ends after 20 redirects, whoever follows them, with the cause that says so.
TEST_F(HttpExportsTest, RedirectIsFollowedOrReportedAsTheFlagsSay) {
  CHttpTestServer target;
  target.Handle("/to", CHttpTestResource("arrived"));
  server.Serve("/from", HttpTestResponse::Redirect(302, target.Origin() + "/to"));
  server.Serve("/dir/here", HttpTestResponse::Text(200, "here"));
  server.Serve("/absolute-path", HttpTestResponse::Redirect(302, "/dir/here"));
  server.Serve("/dir/relative-path", HttpTestResponse::Redirect(301, "here?x=1"));
  server.Serve("/loop-a", HttpTestResponse::Redirect(302, server.Origin() + "/loop-b"));
  server.Serve("/loop-b", HttpTestResponse::Redirect(307, server.Origin() + "/loop-a"));
  const uint32_t report = HTTPPAR_NO_AUTO_REDIRECT;
  const std::vector<DOWNLOAD_ERRORCODE> twentyRedirects(20, DOWNLOAD_REDIRECT);
  auto then = [](std::vector<DOWNLOAD_ERRORCODE> codes, DOWNLOAD_ERRORCODE last) {
    codes.push_back(last);
    return codes;
  };
  const struct {
    const char* path;
    uint32_t flags;
    std::vector<DOWNLOAD_ERRORCODE> codes;  // progress left out
    std::wstring reported;                  // where each redirect says it goes, first one
    std::string body;                       // of the success
    size_t requests;                        // to either server
  } rows[] = {
      {"/from", 0, {DOWNLOAD_OK}, L"", "arrived", 2},
      {"/from", report, {DOWNLOAD_REDIRECT, DOWNLOAD_OK}, target.Url("/to"), "arrived", 2},
      {"/from",
       report | HTTPPAR_STOP_ON_REDIRECT,
       {DOWNLOAD_REDIRECT, DOWNLOAD_REDIRECT_REFUSED},
       target.Url("/to"),
       "",
       1},
      {"/absolute-path", 0, {DOWNLOAD_OK}, L"", "here", 2},
      {"/absolute-path",
       report,
       {DOWNLOAD_REDIRECT, DOWNLOAD_OK},
       server.Url("/dir/here"),
       "here",
       2},
      {"/dir/relative-path",
       report,
       {DOWNLOAD_REDIRECT, DOWNLOAD_OK},
       server.Url("/dir/here?x=1"),
       "here",
       2},
      {"/loop-a", 0, {DOWNLOAD_FAILED}, L"", "", 21},
      {"/loop-a", report, then(twentyRedirects, DOWNLOAD_FAILED), server.Url("/loop-b"), "", 21},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << row.path << " flags " << row.flags);
    const size_t before = server.RequestCount() + target.RequestCount();
    std::vector<DOWNLOAD_ERRORCODE> codes;
    const HttpEvent end = FetchAndWait(HttpPar(server.Url(row.path), row.flags), log);
    for (const HttpEvent& event : log.EventsOf(end.taskId)) {
      if (event.code == DOWNLOAD_PROGRESS) continue;
      if (event.code == DOWNLOAD_REDIRECT && codes.empty()) {
        EXPECT_EQ(event.text, row.reported);
        EXPECT_EQ(event.httpStatus, std::string(row.path) == "/dir/relative-path" ? 301 : 302);
      }
      codes.push_back(event.code);
    }
    EXPECT_EQ(codes, row.codes);
    EXPECT_EQ(end.data, row.body);
    if (end.code == DOWNLOAD_FAILED) {
      EXPECT_EQ(end.failure, ZV_FAILURE_REDIRECT_UNSUPPORTED);
    }
    EXPECT_EQ(server.RequestCount() + target.RequestCount() - before, row.requests);
  }
}

// The caller's cookies, headers (however big) and referrer reach the server, each on its own
// line; a URL too big for any server fails without a request.
TEST_F(HttpExportsTest, CallerCookiesHeadersAndReferrerReachTheServer) {
  server.Serve("/h", HttpTestResponse::Text(200, "ok").With("Set-Cookie", "fromServer=yes"));
  tagDefHttpPar par = HttpPar(server.Url("/h") + L"?" + std::wstring(1 << 20, L'a'));
  EXPECT_EQ(FetchAndWait(par, log).code, DOWNLOAD_FAILED);
  EXPECT_EQ(server.RequestCount(), 0u);
  // The server's cookie is stored first: big headers and a big referrer must not spoil it.
  EXPECT_EQ(FetchAndWait(server.Url("/h"), log).code, DOWNLOAD_OK);
  tagDefHttpPar big = HttpPar(server.Url("/h"), 0, L"X-Big: " + std::wstring(256 * 1024, L'h'));
  big.referrer = std::wstring(64 * 1024, L'r');
  big.headers += L"\r\n";
  for (int i = 0; i < 200; ++i) big.headers += L"X-Many-" + std::to_wstring(i) + L": v\r\n";
  EXPECT_EQ(FetchAndWait(big, log).code, DOWNLOAD_OK);
  par = HttpPar(L"  \t" + server.Url("/h?x=1") + L"\r\n", 0, L"X-One: 1\r\nX-Two: two\r\n");
  par.cookies = {{L"session", L"abc"}, {L"lang", L"en"}};
  par.referrer = L"http://referrer.example/page";
  EXPECT_EQ(FetchAndWait(par, log).code, DOWNLOAD_OK);
  // Nothing of one request but the cookies, set by the caller or the server, reaches the next.
  EXPECT_EQ(FetchAndWait(server.Url("/h"), log).code, DOWNLOAD_OK);
  ASSERT_EQ(server.RequestCount(), 4u);
  const std::vector<HttpTestRequest> sent = server.Requests();
  const HttpTestRequest &bigRequest = sent[1], &request = sent[2], &next = sent[3];
  EXPECT_EQ(bigRequest.Header("Cookie"), "fromServer=yes");
  EXPECT_EQ(next.Header("Cookie"), "fromServer=yes; session=abc; lang=en");
  for (const char* name : {"X-One", "X-Two", "Referer", "Range", "Content-Length"}) {
    EXPECT_FALSE(next.HasHeader(name)) << name;
  }
  EXPECT_EQ(request.target + " " + request.Header("Cookie") + " " + request.Header("Referer") +
                " " + request.Header("X-One") + request.Header("X-Two") + " " +
                request.Header("Pragma") + " " + request.Header("User-Agent"),
            "/h?x=1 fromServer=yes; session=abc; lang=en http://referrer.example/page 1two "
            "no-cache Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)");
  EXPECT_EQ(bigRequest.Header("Referer").size() + bigRequest.Header("X-Big").size(), 320u * 1024);
  EXPECT_EQ(bigRequest.Header("X-Many-199"), "v");
}

// Hostile servers. A redirect leads only to http or https: one to another scheme, or from
// https down to http, ends the transfer as a failure whoever follows it (the stand-in, or
// the task with HTTPPAR_NO_AUTO_REDIRECT), and nothing reaches the target.
TEST_F(HttpExportsTest, RedirectsToOtherSchemesOrFromHttpsToHttpFailAndReachNothing) {
  CTestCertificateAuthority ca;
  CScopedEnv trust("ZVNET_CA_FILE", ca.CaFile());
  CHttpTestServer secure(ca.Issue({"localhost"}));
  CHttpTestServer local;  // a local service that a hostile server wants to talk to
  CTempFolder folder;
  folder.Write("hostname", "planted-secret");
  const std::string service = "127.0.0.1:" + std::to_string(local.Port());
  const std::wstring hostile = server.Url("/hostile");
  const struct {
    CHttpTestServer* from;
    std::wstring url;  // answers the redirect; with the caller's credentials for https
    std::string location;
  } cases[] = {
      {&server, hostile, "gopher://" + service + "/_SET%20pwned"},
      {&server, hostile, "dict://" + service + "/FLUSHALL"},
      {&server, hostile, "file://" + folder.Path("hostname").string()},
      {&secure, L"https://bob:pw@localhost:" + std::to_wstring(secure.Port()) + L"/hostile",
       "http://localhost:" + std::to_string(local.Port()) + "/landing"},
  };
  for (const auto& c : cases) {
    c.from->Serve("/hostile", HttpTestResponse::Redirect(302, c.location));
    for (uint32_t flags : {0u, HTTPPAR_NO_AUTO_REDIRECT}) {
      const HttpEvent end = FetchAndWait(HttpPar(c.url, flags), log);
      EXPECT_EQ(end.code, DOWNLOAD_FAILED) << c.location << " flags " << flags;
      EXPECT_EQ(end.data.find("planted"), std::string::npos) << c.location;
    }
    EXPECT_EQ(ZvHttp::IsDestinationReachable(c.url.c_str()), 0) << c.location;
  }
  EXPECT_EQ(secure.RequestCount(), 3u) << "the https server was asked";
  EXPECT_EQ(local.ConnectionCount(), 0) << "nothing reached the local service";
}

// A redirect to another origin (scheme, host or port) drops the caller's credentials: those
// of the URL and its own Authorization, Proxy-Authorization and Cookie lines. Within the
// origin they stay; other caller headers go everywhere.
TEST_F(HttpExportsTest, CallerCredentialsStayWithTheirOrigin) {
  CHttpTestServer other;
  other.Serve("/end", HttpTestResponse::Text(200, "end"));
  server.Serve("/start", HttpTestResponse::Redirect(302, server.Origin() + "/same"));
  server.Serve("/same", HttpTestResponse::Redirect(302, other.Origin() + "/end"));
  const struct {
    bool urlCredentials;
    const wchar_t* headers;
    const char* header;  // where the credential shows
    const char* value;   // a part of it
  } cases[] = {
      {true, L"", "Authorization", "Basic Ym9iOnB3"},
      {false, L"Authorization: Bearer t0ken\r\n", "Authorization", "t0ken"},
      {false, L"Proxy-Authorization: Basic cHg=\r\n", "Proxy-Authorization", "cHg="},
      {false, L"Cookie: raw=1\r\n", "Cookie", "raw=1"},
  };
  for (const auto& c : cases) {
    auto carries = [&](const HttpTestRequest& request) {
      return std::any_of(request.headers.begin(), request.headers.end(), [&](const auto& line) {
        return strcasecmp(line.first.c_str(), c.header) == 0 &&
               line.second.find(c.value) != std::string::npos;
      });
    };
    for (uint32_t flags : {0u, HTTPPAR_NO_AUTO_REDIRECT}) {
      SCOPED_TRACE(testing::Message() << c.header << " " << c.value << " flags " << flags);
      const size_t seen = server.RequestCount(), seenOther = other.RequestCount();
      const tagDefHttpPar par =
          HttpPar(c.urlCredentials
                      ? L"http://bob:pw@127.0.0.1:" + std::to_wstring(server.Port()) + L"/start"
                      : server.Url("/start"),
                  flags, std::wstring(c.headers) + L"X-Caller: 1\r\n");
      EXPECT_EQ(FetchAndWait(par, log).code, DOWNLOAD_OK);
      const std::vector<HttpTestRequest> here = server.Requests(), there = other.Requests();
      ASSERT_EQ(here.size(), seen + 2);
      ASSERT_EQ(there.size(), seenOther + 1);
      EXPECT_TRUE(carries(here[seen]));
      EXPECT_TRUE(carries(here[seen + 1])) << "kept within the origin";
      EXPECT_FALSE(carries(there.back())) << "left the origin";
      EXPECT_EQ(there.back().Header("X-Caller"), "1");
    }
  }
}

// Where a body ends: its own framing (all Content-Length bytes, the zero chunk) or, with
// neither, the server's close; Transfer-Encoding wins over Content-Length. A cut, reset or
// contradictory answer is never a success, whether it goes to a file, to memory or answers an
// upload: the destination keeps what it held, and a success holds exactly the body of the
// attempt that delivered it. Each request ends exactly once.
TEST_F(HttpExportsTest, CutOrUnclearBodyIsNeverASuccess) {
  const std::string body = QuickBody().substr(0, 300000);
  struct Case {
    std::string name;
    // The answers to the requests of one transfer, in turn; the last one repeats.
    std::vector<HttpTestResponse> answers;
    // The whole body of a download's success; null: a failure. Uploads are not replayed, so
    // an upload whose first answer is cut fails.
    const char* delivered = nullptr;
    ZV_FAILURE_CAUSE cause = ZV_FAILURE_NONE;  // of the failure, when it is certain
  };
  auto chunked = [](std::string coded) {
    HttpTestResponse answer = HttpTestResponse::Text(200, std::move(coded));
    answer.omitContentLength = true;  // the server closes after the bytes
    return answer.With("Transfer-Encoding", "chunked");
  };
  HttpTestResponse whole = chunked("5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n");
  whole.omitContentLength = false;
  whole.contentLength = 3;
  HttpTestResponse gzip = HttpTestResponse::Text(200, body).With("Transfer-Encoding", "gzip");
  gzip.contentLength = 3;  // not chunked: the end is unknown
  HttpTestResponse closed = HttpTestResponse::Text(200, body);
  closed.closeAfterBodyBytes = body.size() / 3;
  HttpTestResponse unframed = HttpTestResponse::Text(200, "to the close");
  unframed.omitContentLength = true;
  HttpTestResponse stale = HttpTestResponse::Text(200, "STAL");
  stale.contentLength = 10;
  // A folded line cannot open an answer's headers, not even after a redirect.
  server.Serve("/to", HttpTestResponse::Text(200, body).With(" folded", std::string(40, 'w')));
  std::vector<Case> cases = {
      {"chunked", {whole}, "hello world"},
      {"chunked, cut after a chunk",
       {chunked("5\r\nhello\r\n")},
       nullptr,
       ZV_FAILURE_CONNECTION_LOST},
      {"chunked, cut inside a chunk",
       {chunked("5\r\nhello\r\n6\r\n wo")},
       nullptr,
       ZV_FAILURE_CONNECTION_LOST},
      {"chunked cut, then whole", {chunked("5\r\nhello\r\n"), whole}, "hello world"},
      {"length cut, then whole", {stale, HttpTestResponse::Text(200, "0123456789")}, "0123456789"},
      {"no length, ended by the close", {unframed}, "to the close"},
      {"folded line after a redirect", {HttpTestResponse::Redirect(302, "/to")}},
      {"gzip", {gzip}},
      {"closed at a third", {closed}},
      {"two lengths",
       {HttpTestResponse::Text(200, body).With("Content-Length", std::to_string(100))}}};
  // A reset races the reads: several cut points make the one where a read waits likely.
  for (uint64_t cut = 1; cut < body.size(); cut += 59989) {
    HttpTestResponse reset = HttpTestResponse::Text(200, body);
    reset.closeAfterBodyBytes = cut;
    reset.resetOnClose = true;
    reset.delayBeforeBody = 30ms;  // the reader waits when the reset comes
    cases.push_back({"reset at " + std::to_string(cut), {reset}});
  }
  CTempFolder folder;
  const std::string form = "form=1";
  for (const Case& c : cases) {
    const auto asked = std::make_shared<std::atomic<size_t>>(0);
    server.Handle("/broken", [asked, answers = c.answers](const HttpTestRequest&) {
      return answers[std::min(asked->fetch_add(1), answers.size() - 1)];
    });
    tagDefHttpPar par = HttpPar(server.Url("/broken"));
    for (const char* kind : {"file", "memory", "upload"}) {
      SCOPED_TRACE(c.name + " into " + kind);
      *asked = 0;
      folder.Write("broken", "earlier");
      int id = 0;
      auto* cb = CHttpCallbackLog::Callback;
      const long queued =
          kind[0] == 'f' ? ZvHttp::DownloadInFile(&par, folder.WidePath("broken"), cb, 20000, &id,
                                                  log.Param(), worker, false)
          : kind[0] == 'm'
              ? ZvHttp::DownloadInMem(&par, cb, 20000, &id, log.Param(), worker)
              : ZvHttp::Upload(&par, reinterpret_cast<const unsigned char*>(form.data()),
                               static_cast<unsigned>(form.size()), cb, 20000, &id, log.Param(),
                               worker);
      ASSERT_EQ(queued, 0);
      ASSERT_TRUE(PumpUntilDone(log, id, 30s));
      EXPECT_EQ(log.TerminalCount(id), 1);
      const HttpEvent end = log.Terminal(id);
      const std::string got = kind[0] == 'f' ? folder.Read("broken") : end.data;
      const bool replayed = c.answers.size() > 1;
      if (!c.delivered || (kind[0] == 'u' && replayed)) {
        EXPECT_NE(end.code, DOWNLOAD_OK) << got.size() << " bytes";
        if (c.cause != ZV_FAILURE_NONE) {
          EXPECT_EQ(end.failure, c.cause);
        }
        if (kind[0] == 'f') {
          EXPECT_EQ(got, "earlier") << "the destination was touched";
        }
      } else {
        EXPECT_EQ(end.code, DOWNLOAD_OK);
        EXPECT_EQ(got, c.delivered);
      }
      EXPECT_FALSE(std::filesystem::exists(folder.Path("broken.downloading")));
    }
  }
}

namespace {

// The process's address space (VmSize), in KiB; 0 when it cannot be read.
uint64_t AddressSpaceKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmSize:", 0) == 0) return std::stoull(line.substr(7));
  }
  return 0;
}

}  // namespace

// A memory body's room follows the bytes that arrive, not the length the server announces:
// 4 GiB announced and 64 KiB sent take no gigabytes, and a body past the first room still
// arrives whole.
TEST_F(HttpExportsTest, MemoryRoomFollowsTheBytesNotTheAnnouncedLength) {
  // Whole reads of 32 KiB: the task holds every byte sent while it waits for more.
  HttpTestResponse endless = HttpTestResponse::Text(200, std::string(65536, 'e'));
  endless.contentLength = 0xFFFFFFFFull;
  endless.stallAfterBodyBytes = 65536;
  server.Serve("/endless", endless);
  const uint64_t before = AddressSpaceKiB();
  ASSERT_NE(before, 0u);
  int id = 0;
  ASSERT_EQ(Fetch(server.Url("/endless"), log, 60000, &id), 0);
  ASSERT_TRUE(PumpUntil(
      [&] {
        const std::vector<HttpEvent> events = log.EventsOf(id);
        return !events.empty() && events.back().ProgressHeld() == 65536;
      },
      15s));
  EXPECT_LT(AddressSpaceKiB() - before, 1u << 20) << "KiB taken for 64 KiB";
  EXPECT_EQ(ZvHttp::StopTask(id), 0);

  HttpTestResponse large;
  large.generatedLength = (80 << 20) + 7;
  large.generator = [](uint64_t offset, char* out, size_t length) {
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<char>((offset + i) % 251);
  };
  server.Serve("/large", large);
  const HttpEvent end = FetchAndWait(server.Url("/large"), log);
  EXPECT_EQ(end.code, DOWNLOAD_OK);
  ASSERT_EQ(end.data.size(), large.generatedLength);
  std::string expected(end.data.size(), '\0');
  large.generator(0, expected.data(), expected.size());
  EXPECT_TRUE(end.data == expected) << "the body arrived changed";
}
