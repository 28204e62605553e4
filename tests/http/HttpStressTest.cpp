// Several host threads and workers queue, stop and time out transfers at random against the
// test server for a bounded time. Every request ends with exactly one terminal callback
// (completion or time-out) on its own thread, or, once stopped, with nothing after the stop.
#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <thread>
#include <vector>

#include "platform/win32/Thread.h"
#include "tests/http/HttpExportsFixture.h"
#include "tools/HttpTestServer.h"
#include "zvnet/zvmsgloop.h"

namespace {

struct Request {
  int id = 0;
  bool stopped = false;
  size_t eventsAtStop = 0;  // the thread's event count when it stopped the request
};

struct Host {
  CHttpCallbackLog log;
  std::vector<Request> requests;
  DWORD threadId = 0;
  bool drained = false;
};

}  // namespace

TEST_F(HttpExportsTest, RandomQueueStopAndTimeOutFromSeveralThreads) {
  server.Serve("/small", HttpTestResponse::Text(200, std::string(1000, 's')));
  HttpTestResponse big;
  big.generatedLength = 300000;
  big.generator = [](uint64_t offset, char* out, size_t length) {
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<char>((offset + i) % 251);
  };
  server.Serve("/big", big);
  HttpTestResponse hang;
  hang.neverAnswer = true;
  server.Serve("/hang", hang);

  int workers[3] = {worker, 0, 0};
  ASSERT_EQ(ZvHttp::CreateWorker(&workers[1]), 0);
  ASSERT_EQ(ZvHttp::CreateWorker(&workers[2]), 0);

  constexpr int kHosts = 3;
  Host hosts[kHosts];
  auto run = [&](int index) {
    Host& host = hosts[index];
    host.threadId = GetCurrentThreadId();
    std::mt19937 random(1234 + index);
    // Bounded in time and in count: a hanging request holds its worker until it times out.
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < end && host.requests.size() < 16) {
      const int action = random() % 10;
      if (action < 6 || host.requests.empty()) {
        const char* paths[] = {"/small", "/big", "/small", "/big", "/hang"};
        const int which = random() % 5;
        // Hanging requests end by their time-out; the others normally complete.
        const unsigned timeout = which == 4 ? random() % 1000 : 20000;
        Request request;
        ASSERT_EQ(
            Fetch(server.Url(paths[which]), host.log, timeout, &request.id, workers[random() % 3]),
            0);
        host.requests.push_back(request);
      } else if (action < 8) {
        Request& victim = host.requests[random() % host.requests.size()];
        if (!victim.stopped && !host.log.HasTerminal(victim.id)) {
          victim.stopped = true;
          victim.eventsAtStop = host.log.Count();
          ZvHttp::StopTask(victim.id);
        }
      }
      ZvMsgLoop::Pump(random() % 40);
    }
    host.drained = PumpUntil(
        [&] {
          return std::all_of(host.requests.begin(), host.requests.end(), [&](const Request& r) {
            return r.stopped || host.log.HasTerminal(r.id);
          });
        },
        40s);
    PumpFor(2100ms);  // a tick more: nothing late may follow
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < kHosts; ++i) threads.emplace_back(run, i);
  for (std::thread& thread : threads) thread.join();

  size_t total = 0;
  for (Host& host : hosts) {
    ASSERT_TRUE(host.drained);
    std::vector<HttpEvent> events = host.log.Events();
    for (const HttpEvent& event : events) ASSERT_EQ(event.threadId, host.threadId);
    for (const Request& request : host.requests) {
      ++total;
      std::vector<size_t> positions;
      for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].taskId == request.id) positions.push_back(i);
      }
      const int terminals = host.log.TerminalCount(request.id);
      if (request.stopped) {
        for (size_t position : positions) {
          EXPECT_LT(position, request.eventsAtStop) << "callback after StopTask " << request.id;
        }
        EXPECT_LE(terminals, 1);
      } else {
        EXPECT_EQ(terminals, 1) << "request " << request.id;
        ASSERT_FALSE(positions.empty());
        EXPECT_TRUE(events[positions.back()].IsTerminal()) << "nothing after the end";
      }
    }
  }
  EXPECT_GE(total, 30u);
}
