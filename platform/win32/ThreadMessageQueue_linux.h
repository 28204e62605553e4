// One thread's message queue: posted messages and window timers of the windows that thread
// created, dispatched only on that thread when it pumps.
//
// Post may be called from any thread and never waits for the owning thread. KillTimer and
// RemoveWindow may too; called on another thread they return once the window procedure that
// the owning thread is running for that timer or window has returned (never call them there
// holding a lock such a procedure takes). Pump, DispatchPending and WaitFd run on the owning
// thread only. `mutex` guards messages, timers, running, wakePending, armedDue and the two
// write counts; it is never held while a window procedure runs.
//
// eventFd is written only to wake the owning thread: a post made by the owning thread itself
// is seen by its next Pump or DispatchPending without it, unless the thread has taken WaitFd
// to wait on in a loop of its own.
#ifndef ZVNET_PLATFORM_WIN32_THREADMESSAGEQUEUE_LINUX_H_
#define ZVNET_PLATFORM_WIN32_THREADMESSAGEQUEUE_LINUX_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/win32/UniqueFd.h"
#include "platform/win32/WinTypes.h"
#include "platform/win32/WindowRecord_linux.h"

class CThreadMessageQueue {
 public:
  // The calling thread's queue, made on first use. When the thread ends, its windows are
  // destroyed, as Windows does (their procedures get WM_NCDESTROY on the ending thread). Null
  // once the thread's queue has been destroyed (a thread-local destructor that runs after it)
  // and in a child forked after the parent made a queue: the descriptors are the parent's.
  static std::shared_ptr<CThreadMessageQueue> ForCurrentThread();

  CThreadMessageQueue();
  CThreadMessageQueue(const CThreadMessageQueue&) = delete;
  CThreadMessageQueue& operator=(const CThreadMessageQueue&) = delete;

  // False when its descriptors could not be made, and in a forked child.
  bool IsValid() const;
  bool IsOwnerThread() const { return std::this_thread::get_id() == owner; }
  // The descriptor to poll; from now on the owning thread's own posts make it readable too.
  int WaitFd();

  // Queues the message; with `signal` false the owner is not woken for it until Signal. False,
  // and nothing queued, once the window has been destroyed: a message or timer queued after
  // RemoveWindow would hold the window's record, which holds the queue, and neither would ever
  // be freed.
  bool Post(std::shared_ptr<CWindowRecord> window, UINT message, WPARAM wParam, LPARAM lParam,
            bool signal = true);
  // Wakes the owner for messages queued without a signal.
  void Signal();
  // Starts or restarts timer `id` of the window; the first tick comes one period from now.
  // False once the window has been destroyed, as for Post.
  bool SetTimer(std::shared_ptr<CWindowRecord> window, UINT_PTR id, UINT periodMs);
  bool KillTimer(HWND hwnd, UINT_PTR id);
  // Forgets the window's timers and the messages still queued for it.
  void RemoveWindow(HWND hwnd);

  long Pump(DWORD timeoutMs);
  long DispatchPending();

 private:
  using Clock = std::chrono::steady_clock;

  bool OwnerRunning() const;
  struct Message {
    std::shared_ptr<CWindowRecord> window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
  };
  struct Timer {
    std::shared_ptr<CWindowRecord> window;
    UINT_PTR id;
    Clock::duration period;
    Clock::time_point due;
  };

  // A window procedure the owning thread is running (nested ones when a procedure pumps).
  struct Running {
    HWND hwnd;
    bool timer;
    UINT_PTR id;
  };

  bool HasWorkLocked(Clock::time_point now) const;
  // Off the owning thread: waits until no procedure matching `busy` runs.
  template <class Pred>
  void WaitWhileRunningLocked(std::unique_lock<std::mutex>& guard, Pred busy);
  // Runs the procedure unless the window died (or, for a tick, its timer was killed) before
  // the check made under `mutex`: a later DestroyWindow or KillTimer waits for it instead.
  long Deliver(std::unique_lock<std::mutex>& guard, Running running,
               const std::shared_ptr<CWindowRecord>& window, UINT message, WPARAM wParam,
               LPARAM lParam);
  void ArmTimerFdLocked();
  void DrainWakeFds();
  long DispatchMessages();
  long DispatchTimers();

  const unsigned madeInGeneration;  // the forks counted when the descriptors were made
  UniqueFd eventFd;                 // readable while posts that had to wake the owning thread wait
  UniqueFd timerFd;                 // readable when the earliest timer is due
  UniqueFd epollFd;                 // both of the above: the thread's wait descriptor

  std::mutex mutex;
  std::deque<Message> messages;
  std::vector<Timer> timers;
  std::vector<Running> running;
  std::condition_variable idle;  // signalled when a procedure returns
  bool wakePending = false;      // eventFd has been written since the last drain
  // Writes to eventFd decided on, and those read back. A write lands after the poster leaves
  // the mutex, so a drain may find it missing; the difference says when a read is due.
  uint64_t writesPromised = 0;
  uint64_t writesDrained = 0;
  // Queues are made by ForCurrentThread, so the constructing thread owns this one.
  const std::thread::id owner = std::this_thread::get_id();
  std::atomic<bool> waitFdTaken{false};  // the owning thread polls WaitFd itself
  // When timerFd fires next; re-arming clears what it had counted, so it can only be
  // readable once this time has passed.
  Clock::time_point armedDue = Clock::time_point::max();
};

#endif  // ZVNET_PLATFORM_WIN32_THREADMESSAGEQUEUE_LINUX_H_
