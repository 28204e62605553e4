// The base of the HTTP task: an optional own thread, the stop event with its stopped flag, and
// the list of events that every wait of the task watches.
//
// Threads: the driving thread (a worker's, or the object's own) runs PreRun, Run, PostRun and
// WaitForEvents; Stop may come from any thread at any time. `stopped` is atomic (a task
// asks it for every message it reports); the events are thread-safe themselves. The wait list holds
// events owned by this object or by the derived class, which outlive every wait.
#ifndef ZVNET_HTTP_THREADCONTROL_H_
#define ZVNET_HTTP_THREADCONTROL_H_

#include <array>
#include <atomic>
#include <cstddef>

#include "platform/win32/Event.h"
#include "platform/win32/Thread.h"
#include "platform/win32/WinTypes.h"

class CThreadControl {
 public:
  CThreadControl();
  virtual ~CThreadControl();
  CThreadControl(const CThreadControl&) = delete;
  CThreadControl& operator=(const CThreadControl&) = delete;

  virtual long PreRun() { return 0; }
  virtual long PostRun() { return 0; }
  virtual long Run() = 0;
  // Sets the stopped flag, then the stop event, which ends the current or the next wait.
  virtual long Stop();

  // Runs PreRun, Run and PostRun on a new thread that then deletes this object (the thread
  // owns it from here on). False when a thread was already started or could not be.
  bool StartThread();

 protected:
  bool IsStopped();
  // Waits up to `timeoutMs` for any event of the wait list; reports the event that was
  // signalled (reset again, each event being a pulse) and whether it is the stop event.
  // `signalled` is null when the time ran out or the wait failed.
  void WaitForEvents(CEvent** signalled, bool* stop, DWORD timeoutMs = INFINITE);
  // Appends an event to the wait list unless it is there already; false when the list is
  // full (kMaxWaitEvents, the stop event included).
  bool AddWaitEvent(CEvent* event);
  // True, and the event reset, when the stop event is set now.
  bool TakeStopSignal();

  CEvent stopEvent{CEvent::ResetMode::kManual, false, CEvent::Source::kRecycled};

 private:
  void ThreadProc(CEvent& started);

  CThread thread;
  std::atomic<int> stopped{0};
  int lowPriority = 1;  // an own thread runs at idle priority
  // Held in place: one task is made per request, and its few events need no allocation.
  static constexpr size_t kMaxWaitEvents = 4;
  std::array<CEvent*, kMaxWaitEvents> waitList{};
  std::array<const CWaitable*, kMaxWaitEvents> waitObjects{};  // waitList as the wait takes it
  size_t waitCount = 0;
};

#endif  // ZVNET_HTTP_THREADCONTROL_H_
