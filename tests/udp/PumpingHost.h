// A host thread as applications have one: it runs its message loop all the time and runs the
// calls a test hands it, so that channels and one-shot requests made through it deliver their
// callbacks on it. Call() waits until the call has run.
#ifndef ZVNET_TESTS_UDP_PUMPINGHOST_H_
#define ZVNET_TESTS_UDP_PUMPINGHOST_H_

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/WinTypes.h"

class CPumpingHost {
 public:
  CPumpingHost();
  ~CPumpingHost();
  CPumpingHost(const CPumpingHost&) = delete;
  CPumpingHost& operator=(const CPumpingHost&) = delete;

  void Call(const std::function<void()>& fn);
  DWORD ThreadId() const { return threadId.load(); }

 private:
  void Run();

  std::mutex lock;
  std::deque<std::function<void()>> calls;  // guarded by lock
  std::atomic<bool> stop{false};
  std::atomic<DWORD> threadId{0};
  std::thread thread;
};

#endif  // ZVNET_TESTS_UDP_PUMPINGHOST_H_
