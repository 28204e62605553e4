// Post-to-dispatch latency and throughput of the per-thread message loop, beside a plain
// mutex and condition variable hand-off between the same two threads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/win32/MessageWindow.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr UINT kMsg = 0x9000;

class CLatencyProc : public IWindowProc {
 public:
  LRESULT WindowProc(HWND, UINT, WPARAM wParam, LPARAM) override {
    auto sent = Clock::time_point(Clock::duration(static_cast<Clock::rep>(wParam)));
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    return 0;
  }
  std::vector<double> samples;
};

void ReportLatency(benchmark::State& state, std::vector<double>& samples) {
  std::sort(samples.begin(), samples.end());
  if (samples.empty()) return;
  state.counters["median_us"] = samples[samples.size() / 2];
  state.counters["p99_us"] = samples[samples.size() * 99 / 100];
}

// A worker thread that sends the next item only once the previous one was taken, so that
// one item at a time is in flight and its latency is measured alone.
class COneInFlight {
 public:
  explicit COneInFlight(std::function<void()> send)
      : worker([this, send = std::move(send)] {
          size_t sent = 0;
          while (!stop) {
            if (taken.load() < sent) continue;
            send();
            ++sent;
          }
        }) {}
  ~COneInFlight() {
    stop = true;
    worker.join();
  }
  void Taken(size_t count) { taken = count; }

 private:
  std::atomic<size_t> taken{0};
  std::atomic<bool> stop{false};
  std::thread worker;
};

// One message at a time from a worker thread to this pumping thread.
void BM_PostToDispatchLatency(benchmark::State& state) {
  auto proc = std::make_shared<CLatencyProc>();
  HWND hwnd = CreateWindowExW(proc);
  {
    COneInFlight sender([hwnd] {
      PostMessageW(hwnd, kMsg, static_cast<WPARAM>(Clock::now().time_since_epoch().count()), 0);
    });
    for (auto _ : state) {
      size_t before = proc->samples.size();
      while (proc->samples.size() == before) PumpMessages(100);
      sender.Taken(proc->samples.size());
    }
  }
  ReportLatency(state, proc->samples);
  DestroyWindow(hwnd);
}
BENCHMARK(BM_PostToDispatchLatency)->UseRealTime();

class CCountProc : public IWindowProc {
 public:
  LRESULT WindowProc(HWND, UINT, WPARAM, LPARAM) override {
    ++count;
    return 0;
  }
  size_t count = 0;
};

// A worker posts as fast as it can; this thread dispatches.
void BM_PostThroughput(benchmark::State& state) {
  auto proc = std::make_shared<CCountProc>();
  HWND hwnd = CreateWindowExW(proc);
  const size_t batch = 10000;
  for (auto _ : state) {
    proc->count = 0;
    std::thread worker([&] {
      for (size_t i = 0; i < batch; ++i) PostMessageW(hwnd, kMsg, i, 0);
    });
    while (proc->count < batch) PumpMessages(100);
    worker.join();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * batch));
  DestroyWindow(hwnd);
}
BENCHMARK(BM_PostThroughput)->UseRealTime();

// The baseline: the same hand-off through a mutex, a condition variable and a deque.
struct CHandOff {
  void Push() {
    {
      std::lock_guard guard(mutex);
      items.push_back(Clock::now());
    }
    ready.notify_one();
  }
  std::mutex mutex;
  std::condition_variable ready;
  std::deque<Clock::time_point> items;
};

void BM_CondVarLatency(benchmark::State& state) {
  CHandOff q;
  std::vector<double> samples;
  {
    COneInFlight sender([&q] { q.Push(); });
    for (auto _ : state) {
      std::unique_lock lock(q.mutex);
      q.ready.wait(lock, [&] { return !q.items.empty(); });
      auto sent = q.items.front();
      q.items.pop_front();
      lock.unlock();
      samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
      sender.Taken(samples.size());
    }
  }
  ReportLatency(state, samples);
}
BENCHMARK(BM_CondVarLatency)->UseRealTime();

void BM_CondVarThroughput(benchmark::State& state) {
  const size_t batch = 10000;
  for (auto _ : state) {
    CHandOff q;
    std::thread worker([&] {
      for (size_t i = 0; i < batch; ++i) q.Push();
    });
    size_t received = 0;
    while (received < batch) {
      std::unique_lock lock(q.mutex);
      q.ready.wait(lock, [&] { return !q.items.empty(); });
      received += q.items.size();
      q.items.clear();
    }
    worker.join();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * batch));
}
BENCHMARK(BM_CondVarThroughput)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
