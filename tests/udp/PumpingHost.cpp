#include "tests/udp/PumpingHost.h"

#include <future>
#include <memory>

#include "platform/Thread.h"
#include "tests/support/Pump.h"
#include "zvnet/zvmsgloop.h"

CPumpingHost::CPumpingHost() : thread([this] { Run(); }) {
  WaitUntil([&] { return threadId.load() != 0; });
}

CPumpingHost::~CPumpingHost() {
  stop = true;
  thread.join();
}

void CPumpingHost::Call(const std::function<void()>& fn) {
  // A promise rather than an event: its hand-over is one that ThreadSanitizer can see.
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  {
    std::lock_guard guard(lock);
    calls.push_back([&fn, done] {
      fn();
      done->set_value();
    });
  }
  finished.wait();
}

void CPumpingHost::Run() {
  // The thread's queue exists before the constructor returns, so a test that counts
  // descriptors after setting up sees all of the host's.
  ZvMsgLoop::DispatchPending();
  threadId = GetCurrentThreadId();
  while (!stop) {
    ZvMsgLoop::Pump(2);
    std::deque<std::function<void()>> due;
    {
      std::lock_guard guard(lock);
      due.swap(calls);
    }
    for (auto& call : due) call();
  }
}
