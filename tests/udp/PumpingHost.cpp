#include "tests/udp/PumpingHost.h"

#include "platform/Event.h"
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
  CEvent done;
  {
    std::lock_guard guard(lock);
    calls.push_back([&] {
      fn();
      done.Set();
    });
  }
  done.Wait(INFINITE);
}

void CPumpingHost::Run() {
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
