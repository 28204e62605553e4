#include "platform/win32/ThreadMessageQueue_linux.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/win32/MessageWindow.h"
#include "platform/win32/WindowTable_linux.h"

namespace {

// Counts forks (in the children) once a queue exists. A child shares the parent's epoll,
// eventfd and timerfd, and has none of the threads that post to them: its loop calls must
// fail rather than steal the parent's wake-ups.
std::atomic<unsigned> forkGeneration{0};

void OnForkChild() {
  forkGeneration.fetch_add(1, std::memory_order_relaxed);
}

// Whether the calling thread's queue is gone. Trivially destructible, so it stays readable
// from thread-local and key destructors that run after the holder's.
thread_local bool queueGone = false;

// Destroys the thread's windows when the thread ends, so posts to them fail from then on.
struct CThreadQueueHolder {
  std::shared_ptr<CThreadMessageQueue> queue;
  ~CThreadQueueHolder() {
    queueGone = true;
    if (!queue) return;
    for (HWND hwnd : CWindowTable::Get().WindowsOf(queue.get())) DestroyWindow(hwnd);
    queue.reset();
  }
};

void WriteOne(int fd) {
  uint64_t one = 1;
  while (::write(fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

// The counter read from an eventfd or timerfd, 0 when it had nothing.
uint64_t ReadAll(int fd) {
  uint64_t value = 0;
  for (;;) {
    if (::read(fd, &value, sizeof value) == sizeof value) return value;
    if (errno != EINTR) return 0;
  }
}

}  // namespace

std::shared_ptr<CThreadMessageQueue> CThreadMessageQueue::ForCurrentThread() {
  if (queueGone || forkGeneration.load(std::memory_order_relaxed) != 0) return nullptr;
  thread_local CThreadQueueHolder holder;
  if (!holder.queue) {
    static const bool forkWatched = ::pthread_atfork(nullptr, nullptr, &OnForkChild) == 0;
    (void)forkWatched;  // without it, a child is on its own, as before
    holder.queue = std::make_shared<CThreadMessageQueue>();
  }
  return holder.queue;
}

bool CThreadMessageQueue::IsValid() const {
  return epollFd.IsValid() && forkGeneration.load(std::memory_order_relaxed) == madeInGeneration;
}

CThreadMessageQueue::CThreadMessageQueue()
    : madeInGeneration(forkGeneration.load(std::memory_order_relaxed)),
      eventFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      timerFd(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK)),
      epollFd(::epoll_create1(EPOLL_CLOEXEC)) {
  if (!eventFd.IsValid() || !timerFd.IsValid() || !epollFd.IsValid()) {
    epollFd.Reset();
    return;
  }
  for (int fd : {eventFd.Get(), timerFd.Get()}) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (::epoll_ctl(epollFd.Get(), EPOLL_CTL_ADD, fd, &ev) != 0) epollFd.Reset();
  }
}

bool CThreadMessageQueue::Post(std::shared_ptr<CWindowRecord> window, UINT message, WPARAM wParam,
                               LPARAM lParam, bool signal) {
  const bool ownerRunning = OwnerRunning();
  bool wake = false;
  {
    std::lock_guard guard(mutex);
    // The window's removal marks it dead before RemoveWindow takes the lock: a post that comes
    // after RemoveWindow sees that, one before is erased by it.
    if (!window->alive.load(std::memory_order_acquire)) return false;
    messages.push_back({std::move(window), message, wParam, lParam});
    if (signal && !ownerRunning && !wakePending) {
      wakePending = true;
      ++writesPromised;
      wake = true;
    }
  }
  if (wake) WriteOne(eventFd.Get());
  return true;
}

bool CThreadMessageQueue::OwnerRunning() const {
  // The owning thread is running, not waiting: its next Pump or DispatchPending looks at the
  // queue first. Only a loop of its own around WaitFd needs the descriptor made readable.
  return std::this_thread::get_id() == owner && !waitFdTaken.load(std::memory_order_relaxed);
}

void CThreadMessageQueue::Signal() {
  const bool ownerRunning = OwnerRunning();
  bool wake = false;
  {
    std::lock_guard guard(mutex);
    if (!ownerRunning && !wakePending && !messages.empty()) {
      wakePending = true;
      ++writesPromised;
      wake = true;
    }
  }
  if (wake) WriteOne(eventFd.Get());
}

int CThreadMessageQueue::WaitFd() {
  if (!waitFdTaken.exchange(true)) {
    // Own posts made before were not signalled: signal them now.
    bool wake = false;
    {
      std::lock_guard guard(mutex);
      if (!messages.empty() && !wakePending) {
        wakePending = true;
        ++writesPromised;
        wake = true;
      }
    }
    if (wake) WriteOne(eventFd.Get());
  }
  return epollFd.Get();
}

bool CThreadMessageQueue::SetTimer(std::shared_ptr<CWindowRecord> window, UINT_PTR id,
                                   UINT periodMs) {
  const auto period = std::chrono::milliseconds(std::max<UINT>(periodMs, 1));
  std::lock_guard guard(mutex);
  if (!window->alive.load(std::memory_order_acquire)) return false;  // as in Post
  std::erase_if(timers, [&](const Timer& t) { return t.window == window && t.id == id; });
  timers.push_back({std::move(window), id, period, Clock::now() + period});
  ArmTimerFdLocked();
  return true;
}

bool CThreadMessageQueue::KillTimer(HWND hwnd, UINT_PTR id) {
  std::unique_lock guard(mutex);
  auto removed =
      std::erase_if(timers, [&](const Timer& t) { return t.window->hwnd == hwnd && t.id == id; });
  ArmTimerFdLocked();
  WaitWhileRunningLocked(guard,
                         [&](const Running& r) { return r.hwnd == hwnd && r.timer && r.id == id; });
  return removed > 0;
}

void CThreadMessageQueue::RemoveWindow(HWND hwnd) {
  std::unique_lock guard(mutex);
  std::erase_if(timers, [&](const Timer& t) { return t.window->hwnd == hwnd; });
  std::erase_if(messages, [&](const Message& m) { return m.window->hwnd == hwnd; });
  ArmTimerFdLocked();
  WaitWhileRunningLocked(guard, [&](const Running& r) { return r.hwnd == hwnd; });
}

template <class Pred>
void CThreadMessageQueue::WaitWhileRunningLocked(std::unique_lock<std::mutex>& guard, Pred busy) {
  // The owning thread calls from inside its own procedure: waiting would never end.
  if (IsOwnerThread()) return;
  idle.wait(guard, [&] { return std::none_of(running.begin(), running.end(), busy); });
}

bool CThreadMessageQueue::HasWorkLocked(Clock::time_point now) const {
  if (!messages.empty()) return true;
  return std::any_of(timers.begin(), timers.end(), [&](const Timer& t) { return t.due <= now; });
}

void CThreadMessageQueue::ArmTimerFdLocked() {
  itimerspec spec{};
  armedDue = Clock::time_point::max();
  if (!timers.empty()) {
    auto earliest =
        std::min_element(timers.begin(), timers.end(), [](const Timer& a, const Timer& b) {
          return a.due < b.due;
        })->due;
    armedDue = earliest;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(earliest.time_since_epoch());
    // steady_clock is CLOCK_MONOTONIC on Linux; a zero value would disarm, so use at least 1ns.
    int64_t total = std::max<int64_t>(ns.count(), 1);
    spec.it_value.tv_sec = total / 1000000000;
    spec.it_value.tv_nsec = total % 1000000000;
  }
  if (::timerfd_settime(timerFd.Get(), TFD_TIMER_ABSTIME, &spec, nullptr) != 0 && !timers.empty()) {
    // Without the timer nothing would wake the loop for a time-out: keep the descriptor
    // readable instead, so every pass of the host's loop checks the timers until one arms.
    ++writesPromised;
    WriteOne(eventFd.Get());
  }
}

void CThreadMessageQueue::DrainWakeFds() {
  bool eventMayBeReadable;
  bool timerMayHaveFired;
  {
    std::lock_guard guard(mutex);
    wakePending = false;
    eventMayBeReadable = writesPromised != writesDrained;
    timerMayHaveFired = Clock::now() >= armedDue;
  }
  // Each skipped read saves a system call per dispatch: with no write promised the eventfd
  // is empty, and a timer that has not come due cannot have made timerFd readable.
  if (eventMayBeReadable) {
    const uint64_t landed = ReadAll(eventFd.Get());
    std::lock_guard guard(mutex);
    writesDrained += landed;
  }
  if (timerMayHaveFired) ReadAll(timerFd.Get());
}

long CThreadMessageQueue::Pump(DWORD timeoutMs) {
  bool ready;
  {
    std::lock_guard guard(mutex);
    ready = HasWorkLocked(Clock::now());
  }
  if (!ready && timeoutMs != 0) {
    epoll_event events[2];
    int wait = timeoutMs == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(timeoutMs, INT32_MAX));
    while (::epoll_wait(epollFd.Get(), events, 2, wait) < 0 && errno == EINTR) {
    }
  }
  return DispatchPending();
}

long CThreadMessageQueue::DispatchPending() {
  DrainWakeFds();
  long count = DispatchMessages();
  count += DispatchTimers();
  return count;
}

long CThreadMessageQueue::Deliver(std::unique_lock<std::mutex>& guard, Running entry,
                                  const std::shared_ptr<CWindowRecord>& window, UINT message,
                                  WPARAM wParam, LPARAM lParam) {
  // DestroyWindow marks the window dead before it takes `mutex`, KillTimer removes the timer
  // under it: either this check sees that, or the caller waits for the procedure below.
  if (!window->alive.load(std::memory_order_acquire)) return 0;
  if (entry.timer && std::none_of(timers.begin(), timers.end(), [&](const Timer& t) {
        return t.window == window && t.id == entry.id;
      })) {
    return 0;
  }
  running.push_back(entry);
  guard.unlock();
  window->proc->WindowProc(window->hwnd, message, wParam, lParam);
  guard.lock();
  for (auto it = running.rbegin(); it != running.rend(); ++it) {
    if (it->hwnd == entry.hwnd && it->timer == entry.timer && it->id == entry.id) {
      running.erase(std::next(it).base());
      break;
    }
  }
  idle.notify_all();
  return 1;
}

long CThreadMessageQueue::DispatchMessages() {
  size_t snapshot;
  {
    std::lock_guard guard(mutex);
    snapshot = messages.size();
  }
  // One at a time, so that a window procedure that pumps again keeps the posting order, and
  // only what was there at the start, so that a flood of posts cannot starve the timers.
  long count = 0;
  for (size_t i = 0; i < snapshot; ++i) {
    Message m;
    std::unique_lock guard(mutex);
    if (messages.empty()) break;
    m = std::move(messages.front());
    messages.pop_front();
    count += Deliver(guard, {m.window->hwnd, false, 0}, m.window, m.message, m.wParam, m.lParam);
  }
  return count;
}

long CThreadMessageQueue::DispatchTimers() {
  struct Tick {
    std::shared_ptr<CWindowRecord> window;
    UINT_PTR id;
  };
  std::vector<Tick> ticks;
  {
    std::lock_guard guard(mutex);
    const auto now = Clock::now();
    for (Timer& t : timers) {
      if (t.due > now) continue;
      t.due = now + t.period;  // a late timer gives one tick, not a burst
      ticks.push_back({t.window, t.id});
    }
    if (!ticks.empty()) ArmTimerFdLocked();
  }
  long count = 0;
  for (const Tick& tick : ticks) {
    std::unique_lock guard(mutex);
    count += Deliver(guard, {tick.window->hwnd, true, tick.id}, tick.window, WM_TIMER, tick.id, 0);
  }
  return count;
}
