// One thread's message queue: posted messages and window timers of the windows that thread
// created, dispatched only on that thread when it pumps.
//
// Post, KillTimer and RemoveWindow may be called from any thread and never wait for the
// owning thread; Pump and DispatchPending run on the owning thread only. `mutex` guards
// messages, timers and wakePending; it is never held while a window procedure runs.
#ifndef ZVNET_PLATFORM_THREADMESSAGEQUEUE_H_
#define ZVNET_PLATFORM_THREADMESSAGEQUEUE_H_

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/WinTypes.h"
#include "platform/WindowRecord.h"

class CThreadMessageQueue {
 public:
  // The calling thread's queue, made on first use. When the thread ends, its windows are
  // destroyed, as Windows does.
  static std::shared_ptr<CThreadMessageQueue> ForCurrentThread();

  CThreadMessageQueue();
  CThreadMessageQueue(const CThreadMessageQueue&) = delete;
  CThreadMessageQueue& operator=(const CThreadMessageQueue&) = delete;

  bool IsValid() const { return epollFd.IsValid(); }
  int WaitFd() const { return epollFd.Get(); }

  void Post(std::shared_ptr<CWindowRecord> window, UINT message, WPARAM wParam, LPARAM lParam);
  // Starts or restarts timer `id` of the window; the first tick comes one period from now.
  void SetTimer(std::shared_ptr<CWindowRecord> window, UINT_PTR id, UINT periodMs);
  bool KillTimer(HWND hwnd, UINT_PTR id);
  // Forgets the window's timers and the messages still queued for it.
  void RemoveWindow(HWND hwnd);

  long Pump(DWORD timeoutMs);
  long DispatchPending();

 private:
  using Clock = std::chrono::steady_clock;
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

  bool HasWorkLocked(Clock::time_point now) const;
  void ArmTimerFdLocked();
  void DrainWakeFds();
  long DispatchMessages();
  long DispatchTimers();
  static long Deliver(const std::shared_ptr<CWindowRecord>& window, UINT message, WPARAM wParam,
                      LPARAM lParam);

  UniqueFd eventFd;  // readable while posted messages wait
  UniqueFd timerFd;  // readable when the earliest timer is due
  UniqueFd epollFd;  // both of the above: the thread's wait descriptor

  std::mutex mutex;
  std::deque<Message> messages;
  std::vector<Timer> timers;
  bool wakePending = false;  // eventFd has been written since the last drain
  // When timerFd fires next; re-arming clears what it had counted, so it can only be
  // readable once this time has passed.
  Clock::time_point armedDue = Clock::time_point::max();
};

#endif  // ZVNET_PLATFORM_THREADMESSAGEQUEUE_H_
