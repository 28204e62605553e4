// A Windows event on an eventfd: manual-reset events stay signalled until Reset; auto-reset
// events release one waiter and reset themselves. Any thread may Set, Reset and wait.
//
// A manual-reset event also keeps its state in memory, so that setting a set event, resetting
// a clear one and asking whether it is set cost no system call. Its descriptor is signalled
// only while a wait polls it (`pollers`): a thread that sets the event it is about to wait for
// itself, or that nobody waits for, makes no system call either. Set stores the state and then
// reads `pollers`, a wait counts itself in `pollers` and then reads the state (both
// sequentially consistent), so a poll that began before the state was set always sees the
// descriptor signalled. `stateLock` keeps the state and the descriptor in step, except for
// Set's write, which `writing` marks until it is done.
//
// A recycled event takes its descriptor from CEventFdCache and gives it back cleared, for
// objects that make events at a high rate.
#ifndef ZVNET_PLATFORM_WIN32_EVENT_H_
#define ZVNET_PLATFORM_WIN32_EVENT_H_

#ifdef _WIN32
#include "platform/win32/Event_win.h"  // CreateEventW itself
#else
#include <atomic>
#include <mutex>

#include "platform/win32/UniqueFd.h"
#include "platform/win32/Waitable.h"
#include "platform/win32/WinTypes.h"

class CEvent : public CWaitable {
 public:
  enum class ResetMode { kManual, kAuto };
  enum class Source { kNew, kRecycled };
  explicit CEvent(ResetMode mode = ResetMode::kManual, bool initiallySet = false,
                  Source source = Source::kNew);
  ~CEvent() override;
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  bool IsValid() const { return fd.IsValid(); }
  void Set();
  void Reset();
  // True when signalled; for an auto-reset event this consumes the signal.
  bool IsSet() const;
  // WAIT_OBJECT_0 or WAIT_TIMEOUT.
  DWORD Wait(DWORD timeoutMs) const;

  int WaitFd() const override { return fd.Get(); }
  bool ConsumeSignal() const override;
  KnownState StateNow() const override;
  void BeginPoll() const override;
  void EndPoll() const override;

 private:
  UniqueFd fd;
  const ResetMode mode;
  const Source source;
  std::mutex stateLock;
  std::atomic<bool> signalled{false};   // manual-reset events only; written under `stateLock`
  std::atomic<bool> writing{false};     // a Set's write to the descriptor is under way
  bool written = false;                 // manual-reset: the descriptor holds a Set; `stateLock`
  mutable std::atomic<int> pollers{0};  // manual-reset: waits polling the descriptor now
};
#endif  // _WIN32

#endif  // ZVNET_PLATFORM_WIN32_EVENT_H_
