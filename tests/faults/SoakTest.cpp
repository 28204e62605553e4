// Load with chaos: many downloads from several host threads over many workers, while requests
// are stopped at random, time out, and workers are closed under them. A request that was
// neither stopped nor on a closed worker ends with exactly one terminal callback, a success
// (or the time-out of a server that never answers); nothing arrives after StopTask, nothing
// arrives twice, every callback runs on its host.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/win32/Event.h"
#include "platform/win32/Thread.h"
#include "tests/faults/FaultSeed.h"
#include "tests/support/HttpCallbackLog.h"
#include "tests/support/Pump.h"
#include "tools/HttpTestServer.h"
#include "zvnet/zvhttp.h"
#include "zvnet/zvmsgloop.h"

namespace {

constexpr int kSoakRequests = 5000;  // also under the sanitizers: about 25 s there
constexpr int kHosts = 8;
constexpr size_t kInFlightPerHost = 12;
const char* const kPaths[] = {"/small", "/mid", "/hang"};
const size_t kLengths[] = {4096, 65536, 0};

struct SoakRequest {
  int id = 0;
  int worker = 0;
  int path = 0;
  bool queued = false;
  bool stopped = false;
  size_t eventsAtStop = 0;
};

// The worker ids in use; a closer retires and replaces them while hosts queue on them.
class CWorkerPool {
 public:
  int Pick(uint64_t random) {
    std::lock_guard guard(mutex);
    return live[random % live.size()];
  }
  // Closes a worker and puts a fresh one in its place.
  void Replace(uint64_t random) {
    int victim;
    {
      std::lock_guard guard(mutex);
      victim = live[random % live.size()];
      closed.insert(victim);
    }
    EXPECT_EQ(ZvHttp::CloseWorker(victim), 0);
    int fresh = 0;
    EXPECT_EQ(ZvHttp::CreateWorker(&fresh), 0);
    std::lock_guard guard(mutex);
    std::replace(live.begin(), live.end(), victim, fresh);
  }
  bool WasClosed(int worker) {
    std::lock_guard guard(mutex);
    return closed.count(worker) != 0;
  }

  std::mutex mutex;  // guards live and closed
  std::vector<int> live = std::vector<int>(32);
  std::set<int> closed;
};

}  // namespace

TEST(Soak, DownloadsOverManyWorkersAndHostsWithStopsTimeOutsAndClosedWorkers) {
  const uint64_t seed = FaultSeed();
  CHttpTestServer server;
  server.Serve(kPaths[0], HttpTestResponse::Text(200, std::string(kLengths[0], 's')));
  server.Serve(kPaths[1], HttpTestResponse::Text(200, std::string(kLengths[1], 'm')));
  HttpTestResponse hang;
  hang.neverAnswer = true;
  server.Serve(kPaths[2], hang);
  ASSERT_EQ(ZvHttp::Init(), 0);
  CWorkerPool pool;
  for (int& worker : pool.live) ASSERT_EQ(ZvHttp::CreateWorker(&worker), 0);

  std::atomic<bool> hostsDone{false};
  std::thread closer([&] {
    for (uint64_t n = 0; !hostsDone.load(); ++n) {
      CEvent pause;
      pause.Wait(150);
      if (!hostsDone.load()) pool.Replace(FaultMix(seed, 77, n));
    }
  });
  std::atomic<int> completed{0};
  auto host = [&](int index) {
    const DWORD threadId = GetCurrentThreadId();
    uint64_t step = 0;
    auto random = [&] { return FaultMix(seed, index, step++); };
    CHttpCallbackLog log;
    std::vector<SoakRequest> requests;
    std::map<int, int> open;  // task id -> worker, until its end, stop or refusal
    // Runs inside the callback on this thread: the open set stays cheap to read.
    log.onEvent = [&](const HttpEvent& event) {
      if (event.IsTerminal()) open.erase(event.taskId);
    };
    auto running = [&] {
      return std::count_if(open.begin(), open.end(),
                           [&](const auto& entry) { return !pool.WasClosed(entry.second); });
    };
    while (requests.size() < kSoakRequests / kHosts) {
      if (static_cast<size_t>(running()) < kInFlightPerHost) {
        SoakRequest& request = requests.emplace_back();
        const uint64_t roll = random() % 100;
        request.path = roll < 60 ? 0 : roll < 95 ? 1 : 2;
        // Hanging requests end by their time-out; the others have time to spare.
        const unsigned timeout = request.path == 2 ? 200 + random() % 1500 : 30000;
        request.worker = pool.Pick(random());
        tagDefHttpPar par = HttpPar(server.Url(kPaths[request.path]));
        request.queued = ZvHttp::DownloadInMem(&par, CHttpCallbackLog::Callback, timeout,
                                               &request.id, log.Param(), request.worker) == 0;
        // Only a worker closed meanwhile refuses a request.
        if (request.queued) open[request.id] = request.worker;
        EXPECT_TRUE(request.queued || pool.WasClosed(request.worker));
      }
      SoakRequest& victim = requests[random() % requests.size()];
      if (random() % 100 < 8 && open.erase(victim.id) != 0) {
        victim.stopped = true;
        victim.eventsAtStop = log.Count();
        ZvHttp::StopTask(victim.id);
      }
      ZvMsgLoop::Pump(random() % 3);
    }
    EXPECT_TRUE(PumpUntil([&] { return running() == 0; }, 60s));
    PumpFor(2100ms);  // a time-out tick more: nothing late may follow

    const std::vector<HttpEvent> events = log.Events();
    std::map<int, std::vector<size_t>> positions;  // task id -> its events
    for (size_t i = 0; i < events.size(); ++i) {
      ASSERT_EQ(events[i].threadId, threadId);
      positions[events[i].taskId].push_back(i);
    }
    for (const SoakRequest& request : requests) {
      const std::vector<size_t> mine = positions[request.id];
      positions.erase(request.id);
      const auto terminals =
          std::count_if(mine.begin(), mine.end(), [&](size_t i) { return events[i].IsTerminal(); });
      EXPECT_LE(terminals, 1) << "request " << request.id;
      if (!request.queued || request.stopped) {
        EXPECT_EQ(terminals, 0);
        EXPECT_TRUE(mine.empty() || mine.back() < request.eventsAtStop) << "after StopTask";
        continue;
      }
      const bool closed = pool.WasClosed(request.worker);
      if (closed && terminals == 0) continue;
      ASSERT_EQ(terminals, 1) << "request " << request.id << " on worker " << request.worker;
      const HttpEvent& end = events[mine.back()];
      ASSERT_TRUE(end.IsTerminal()) << "nothing may follow the end";
      if ((request.path == 2 || closed) && end.code == DOWNLOAD_TIMEOUT) continue;
      EXPECT_EQ(end.code, DOWNLOAD_OK) << "request " << request.id << " path " << request.path;
      EXPECT_EQ(end.data.size(), kLengths[request.path]);
      ++completed;
    }
    EXPECT_TRUE(positions.empty()) << "callbacks for tasks this host never queued";
  };
  std::vector<std::thread> hosts;
  for (int i = 0; i < kHosts; ++i) hosts.emplace_back(host, i);
  for (std::thread& thread : hosts) thread.join();
  hostsDone = true;
  closer.join();
  for (int worker : pool.live) EXPECT_EQ(ZvHttp::CloseWorker(worker), 0);
  ZvHttp::Uninit();
  EXPECT_GT(completed, kSoakRequests / 2);
}
