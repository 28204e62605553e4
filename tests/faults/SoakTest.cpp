// Load with chaos: many downloads from several host threads over many workers, while requests
// are stopped at random, time out, and workers are closed under them. Every request is
// accounted for: a request that was neither stopped nor on a closed worker ends with exactly
// one terminal callback, and that is a success (or the time-out of a server that never
// answers); nothing arrives after StopTask; nothing arrives twice.
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
constexpr int kWorkers = 32;
constexpr size_t kInFlightPerHost = 12;
constexpr size_t kSmall = 4096;
constexpr size_t kMid = 65536;

struct SoakRequest {
  int id = 0;
  int worker = 0;
  int path = 0;  // 0 small, 1 mid, 2 hang
  bool queued = false;
  bool stopped = false;
  size_t eventsAtStop = 0;
};

struct SoakHost {
  CHttpCallbackLog log;
  std::vector<SoakRequest> requests;
  std::map<int, int> open;  // task id -> worker, until its end, stop or refusal
  DWORD threadId = 0;
  bool drained = false;
};

// The worker ids in use; a closer retires and replaces them while hosts queue on them.
class CWorkerPool {
 public:
  explicit CWorkerPool(int count) {
    for (int i = 0; i < count; ++i) {
      int id = 0;
      EXPECT_EQ(ZvHttp::CreateWorker(&id), 0);
      live.push_back(id);
    }
  }
  int Pick(uint64_t random) {
    std::lock_guard guard(mutex);
    return live[random % live.size()];
  }
  // Closes one worker and puts a fresh one in its place.
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
  bool WasClosed(int worker) const {
    std::lock_guard guard(mutex);
    return closed.count(worker) != 0;
  }
  void CloseAll() {
    std::lock_guard guard(mutex);
    for (int worker : live) EXPECT_EQ(ZvHttp::CloseWorker(worker), 0);
    live.clear();
  }

 private:
  mutable std::mutex mutex;  // guards live and closed
  std::vector<int> live;
  std::set<int> closed;
};

void ServeSoakPaths(CHttpTestServer& server) {
  server.Serve("/small", HttpTestResponse::Text(200, std::string(kSmall, 's')));
  server.Serve("/mid", HttpTestResponse::Text(200, std::string(kMid, 'm')));
  HttpTestResponse hang;
  hang.neverAnswer = true;
  server.Serve("/hang", hang);
}

void RunHost(SoakHost& host, CHttpTestServer& server, CWorkerPool& pool, uint64_t seed, int count) {
  host.threadId = GetCurrentThreadId();
  uint64_t step = 0;
  auto random = [&] { return FaultMix(seed, host.threadId, step++); };
  // The log's hook runs inside the callback on this thread: the open set stays cheap to read.
  host.log.onEvent = [&](const HttpEvent& event) {
    if (event.IsTerminal()) host.open.erase(event.taskId);
  };
  auto open = [&] {
    size_t n = 0;
    for (const auto& [id, worker] : host.open) n += !pool.WasClosed(worker);
    return n;
  };
  const char* const paths[] = {"/small", "/mid", "/hang"};
  while (static_cast<int>(host.requests.size()) < count) {
    if (open() < kInFlightPerHost) {
      SoakRequest request;
      const uint64_t roll = random() % 100;
      request.path = roll < 60 ? 0 : roll < 95 ? 1 : 2;
      // Hanging requests end by their time-out; the others have time to spare.
      const unsigned timeout = request.path == 2 ? 200 + random() % 1500 : 30000;
      request.worker = pool.Pick(random());
      tagDefHttpPar par;
      par.url = server.Url(paths[request.path]);
      request.queued = ZvHttp::DownloadInMem(&par, CHttpCallbackLog::Callback, timeout, &request.id,
                                             host.log.Param(), request.worker) == 0;
      // Only a worker closed meanwhile refuses a request.
      if (!request.queued) {
        EXPECT_TRUE(pool.WasClosed(request.worker));
      } else {
        host.open[request.id] = request.worker;
      }
      host.requests.push_back(request);
    }
    if (random() % 100 < 8) {
      SoakRequest& victim = host.requests[random() % host.requests.size()];
      if (host.open.count(victim.id) != 0) {
        host.open.erase(victim.id);
        victim.stopped = true;
        victim.eventsAtStop = host.log.Count();
        ZvHttp::StopTask(victim.id);
      }
    }
    ZvMsgLoop::Pump(random() % 3);
  }
  host.drained = PumpUntil([&] { return open() == 0; }, 60s);
  PumpFor(2100ms);  // a time-out tick more: nothing late may follow
}

void CheckHost(const SoakHost& host, const CWorkerPool& pool, int& completed) {
  EXPECT_TRUE(host.drained);
  const std::vector<HttpEvent> events = host.log.Events();
  std::vector<std::vector<size_t>> positions;
  std::map<int, size_t> index;
  for (size_t i = 0; i < host.requests.size(); ++i) index[host.requests[i].id] = i;
  positions.resize(host.requests.size());
  for (size_t i = 0; i < events.size(); ++i) {
    ASSERT_EQ(events[i].threadId, host.threadId);
    auto it = index.find(events[i].taskId);
    ASSERT_NE(it, index.end()) << "a callback for a task this host never queued";
    positions[it->second].push_back(i);
  }
  static const size_t kLengths[] = {kSmall, kMid, 0};
  for (size_t r = 0; r < host.requests.size(); ++r) {
    const SoakRequest& request = host.requests[r];
    int terminals = 0;
    for (size_t position : positions[r]) terminals += events[position].IsTerminal();
    EXPECT_LE(terminals, 1) << "request " << request.id;
    if (!request.queued) {
      EXPECT_EQ(terminals, 0);
      continue;
    }
    if (request.stopped) {
      for (size_t position : positions[r]) EXPECT_LT(position, request.eventsAtStop);
      continue;
    }
    if (pool.WasClosed(request.worker) && terminals == 0) continue;
    ASSERT_EQ(terminals, 1) << "request " << request.id << " on worker " << request.worker;
    const HttpEvent& end = events[positions[r].back()];
    ASSERT_TRUE(end.IsTerminal()) << "nothing may follow the end";
    if (request.path == 2 || pool.WasClosed(request.worker)) {
      if (end.code == DOWNLOAD_TIMEOUT) continue;
    }
    EXPECT_EQ(end.code, DOWNLOAD_OK) << "request " << request.id << " path " << request.path;
    EXPECT_EQ(end.data.size(), kLengths[request.path]);
    ++completed;
  }
}

}  // namespace

TEST(Soak, DownloadsOverManyWorkersAndHostsWithStopsTimeOutsAndClosedWorkers) {
  const uint64_t seed = FaultSeed();
  CHttpTestServer server;
  ServeSoakPaths(server);
  ASSERT_EQ(ZvHttp::Init(), 0);
  CWorkerPool pool(kWorkers);

  std::atomic<bool> hostsDone{false};
  std::thread closer([&] {
    // Closes a worker every 150 ms until the hosts have queued everything.
    for (uint64_t n = 0; !hostsDone.load(); ++n) {
      CEvent pause;
      pause.Wait(150);
      if (hostsDone.load()) break;
      pool.Replace(FaultMix(seed, 77, n));
    }
  });

  SoakHost hosts[kHosts];
  std::vector<std::thread> threads;
  for (int i = 0; i < kHosts; ++i) {
    threads.emplace_back(
        [&, i] { RunHost(hosts[i], server, pool, FaultMix(seed, i), kSoakRequests / kHosts); });
  }
  for (std::thread& thread : threads) thread.join();
  hostsDone = true;
  closer.join();

  int completed = 0;
  size_t total = 0;
  for (const SoakHost& host : hosts) {
    CheckHost(host, pool, completed);
    total += host.requests.size();
  }
  pool.CloseAll();
  ZvHttp::Uninit();
  EXPECT_EQ(total, static_cast<size_t>(kSoakRequests / kHosts * kHosts));
  EXPECT_GT(completed, kSoakRequests / 2);
}
