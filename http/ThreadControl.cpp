#include "http/ThreadControl.h"

#include <algorithm>
#include <memory>
#include <span>

#include "platform/win32/Ime.h"
#include "platform/win32/Thread.h"
#include "platform/win32/Wait.h"

CThreadControl::CThreadControl() {
  AddWaitEvent(&stopEvent);  // always the first entry, so it wins over the others
}

CThreadControl::~CThreadControl() = default;

long CThreadControl::Stop() {
  stopped.store(1);
  stopEvent.Set();
  return 0;
}

bool CThreadControl::IsStopped() {
  return stopped.load() != 0;
}

bool CThreadControl::TakeStopSignal() {
  if (!stopEvent.IsSet()) return false;
  stopEvent.Reset();
  return true;
}

bool CThreadControl::AddWaitEvent(CEvent* event) {
  const auto end = waitList.begin() + waitCount;
  if (std::find(waitList.begin(), end, event) != end) return true;
  if (waitCount == kMaxWaitEvents) return false;
  waitList[waitCount] = event;
  waitObjects[waitCount] = event;
  ++waitCount;
  return true;
}

void CThreadControl::WaitForEvents(CEvent** signalled, bool* stop, DWORD timeoutMs) {
  *signalled = nullptr;
  *stop = false;
  const DWORD result = WaitForMultipleObjects(std::span(waitObjects.data(), waitCount), timeoutMs);
  if (result - WAIT_OBJECT_0 >= waitCount) return;  // time-out or failure
  CEvent* event = waitList[result - WAIT_OBJECT_0];
  event->Reset();
  *signalled = event;
  *stop = event == &stopEvent;
}

bool CThreadControl::StartThread() {
  if (thread.IsStarted()) return false;
  stopEvent.Reset();
  // Both events belong to this call, not to the object: once running, the thread may delete
  // the object at any time. It waits for `go` so that Start has finished storing the handle.
  auto go = std::make_shared<CEvent>(CEvent::ResetMode::kManual);
  auto started = std::make_shared<CEvent>(CEvent::ResetMode::kManual);
  if (!go->IsValid() || !started->IsValid()) return false;
  if (!thread.Start([this, go, started] {
        go->Wait(INFINITE);
        ThreadProc(*started);
      })) {
    return false;
  }
  go->Set();
  return started->Wait(INFINITE) == WAIT_OBJECT_0;
}

void CThreadControl::ThreadProc(CEvent& started) {
  ImmDisableIME(0);
  if (lowPriority) LowerCurrentThreadPriority();
  stopped.store(0);
  started.Set();
  PreRun();
  Run();
  PostRun();
  delete this;  // the thread owns the object once started
}
