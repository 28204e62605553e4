#include "http/ThreadControl.h"

#include <poll.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "platform/Ime.h"

CThreadControl::CThreadControl() {
  waitList.push_back(&stopEvent);  // always the first entry, so it wins over the others
}

CThreadControl::~CThreadControl() = default;

long CThreadControl::Stop() {
  {
    CAutoLock guard(lock);
    stopped = 1;
  }
  stopEvent.Set();
  return 0;
}

bool CThreadControl::IsStopped() {
  CAutoLock guard(lock);
  return stopped != 0;
}

bool CThreadControl::TakeStopSignal() {
  if (!stopEvent.IsSet()) return false;
  stopEvent.Reset();
  return true;
}

void CThreadControl::AddWaitEvent(CEvent* event) {
  if (std::find(waitList.begin(), waitList.end(), event) == waitList.end()) {
    waitList.push_back(event);
  }
}

void CThreadControl::WaitForEvents(CEvent** signalled, bool* stop, DWORD timeoutMs) {
  *signalled = nullptr;
  *stop = false;
  // Events already set are taken without a poll, in the same order the poll would take them.
  for (CEvent* event : waitList) {
    const CWaitable::KnownState state = event->StateNow();
    if (state == CWaitable::KnownState::kUnknown) break;
    if (state == CWaitable::KnownState::kSignalled) {
      event->Reset();
      *signalled = event;
      *stop = event == &stopEvent;
      return;
    }
  }
  std::vector<pollfd> fds;
  for (CEvent* event : waitList) fds.push_back({event->WaitFd(), POLLIN, 0});
  for (;;) {
    int ready =
        ::poll(fds.data(), fds.size(), timeoutMs == INFINITE ? -1 : static_cast<int>(timeoutMs));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (!(fds[i].revents & (POLLIN | POLLERR | POLLHUP))) continue;
      if (!waitList[i]->ConsumeSignal()) continue;
      waitList[i]->Reset();
      *signalled = waitList[i];
      *stop = waitList[i] == &stopEvent;
      return;
    }
  }
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
  if (lowPriority) ::setpriority(PRIO_PROCESS, GetCurrentThreadId(), 19);
  {
    CAutoLock guard(lock);
    stopped = 0;
  }
  started.Set();
  PreRun();
  Run();
  PostRun();
  delete this;  // the thread owns the object once started
}
